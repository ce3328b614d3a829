#pragma once
// Where the program keeps PORT.KAV and the small files that live beside it.
//
// The current directory is the first place, as it has always been. A program folder
// refuses writes to an ordinary user, and a write that fails there would lose the
// presets at exit; such a file goes to the user's roaming application-data folder
// instead, into Ombrix\Kavo2\ (the maker's and the program's names, as in the
// registry key SOFTWARE\Ombrix\Kavo2), made when missing.
//
// Once a file is in that folder it is read from there and every later write goes
// there too, whether or not the current directory would take it by then: the two
// places never take turns, and the next start reads what the last write wrote. The
// settings follow the same rule with the user's registry branch, which wins from the
// moment it exists. The copy left in the current directory is never touched again.
//
// Each file follows the rule by its own presence, so files written together land
// together while the current directory either takes writes or refuses them.
#include <cstddef>

// The bare file name (no directory, code page 932), e.g. "PORT.KAV".
//
// Reads up to size bytes from the start of the file: from the application-data folder
// when the file exists there, else from the current directory. *got is the number of
// bytes read (a shorter file gives fewer). False, *got 0, when it does not open.
bool ReadPresetFile(const char* fileName, void* bytes, size_t size, size_t* got);

// Makes the size bytes the whole file: written to a temporary file beside it, pushed
// to the disk, then put in its place in one step (tried again while another program
// holds either file for a moment). In the application-data folder when the file
// exists there; else in the current directory, and when that fails, in the
// application-data folder. True once the new file is in place; on failure every old
// file is as it was and no temporary file is left.
bool WritePresetFile(const char* fileName, const void* bytes, size_t size);

// The same rules for one given file only (a path, or a bare name in the current
// directory), with no second place.
bool ReadFileAt(const char* path, void* bytes, size_t size, size_t* got);
bool WriteFileAt(const char* path, const void* bytes, size_t size);

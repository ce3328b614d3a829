#pragma once
// Where the program keeps PORT.KAV and the small files that live beside it.
//
// The program's own folder (SetPresetProgramFolder; until it is set, the current
// directory stands for it) is the first place, whatever directory the program was
// started in: at logon through the Run key the current directory is the system
// folder, and a shortcut or the Task Scheduler may give yet another, so a file kept in
// the current directory would be found on some starts and not on others. A program
// folder refuses writes to an ordinary user, and a write that fails there would lose
// the presets at exit; such a file goes to the user's roaming application-data folder
// instead, into Ombrix\Kavo2\ (the maker's and the program's names, as in the
// registry key SOFTWARE\Ombrix\Kavo2), made when missing.
//
// Once a file is in that folder it is read from there and every later write goes
// there too, whether or not the program's folder would take it by then: the two
// places never take turns, and the next start reads what the last write wrote. The
// settings follow the same rule with the user's registry branch, which wins from the
// moment it exists.
//
// Older versions kept the file in the current directory. When neither place above
// holds it, a file in the current directory is read, and its bytes are copied at once
// to where a write would go (the program's folder, else the application-data folder),
// so that every later start finds it wherever it starts; the file left in the current
// directory is never touched. Only when neither place takes a write does the current
// directory take it, as it always did.
//
// Each file follows the rule by its own presence, so files written together land
// together while the program's folder either takes writes or refuses them.
#include <cstddef>

#include "platform/native_file.h"

// The program's folder, the first place of the files (a native path, without the file
// name); empty: the current directory again, as for the tests that do not set it.
void SetPresetProgramFolder(const platform::NativePath& folder);

// fileName: the bare file name (no directory, code page 932), e.g. "PORT.KAV".
//
// Reads up to size bytes from the start of the file: from the application-data folder
// when the file exists there, else from the program's folder, else from the current
// directory (and then copies it, as above). *got is the number of bytes read (a
// shorter file gives fewer). False, *got 0, when it does not open.
bool ReadPresetFile(const char* fileName, void* bytes, size_t size, size_t* got);

// Whether the file is there, in any of the places ReadPresetFile reads from: one that
// is there and still does not read is held or refused, not missing.
bool PresetFileExists(const char* fileName);

// Makes the size bytes the whole file: written to a temporary file beside it, pushed
// to the disk, then put in its place in one step (tried again while another program
// holds either file for a moment). In the application-data folder when the file
// exists there; else in the program's folder, and when that fails, in the
// application-data folder, and when that fails too, in the current directory. True
// once the new file is in place; on failure every old file is as it was and no
// temporary file is left.
bool WritePresetFile(const char* fileName, const void* bytes, size_t size);

// The same rules for one given file only (a path, or a bare name in the current
// directory), with no second place.
bool ReadFileAt(const char* path, void* bytes, size_t size, size_t* got);
bool WriteFileAt(const char* path, const void* bytes, size_t size);

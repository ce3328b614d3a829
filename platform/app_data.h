#pragma once
// The user's roaming application-data folder: where a program keeps the files of its
// user that must survive when the program's own folder refuses writes. On Windows it
// is the known folder FOLDERID_RoamingAppData of the user's profile; the host build
// has no such folder of its own. Tests point the look-up at a directory of their own,
// or at none.
#include "platform/native_file.h"

namespace platform {

// Sets folder to the roaming application-data folder, without a trailing separator.
// False (folder empty) when there is none: the system has none for this user, or
// the host build without a test folder.
bool RoamingAppDataFolder(NativePath& folder);

// The running program's own file, as a full path (the executable's, not the current
// directory's). False when the system cannot tell, and always in the host build,
// whose programs keep no files beside themselves.
bool ProgramFile(NativePath& path);
// The folder of that file, without a trailing separator.
bool ProgramFolder(NativePath& folder);

// From now on RoamingAppDataFolder gives folder; an empty one makes it report none.
void SetTestAppDataFolder(const NativePath& folder);
// Back to the system's folder.
void ClearTestAppDataFolder();

}  // namespace platform

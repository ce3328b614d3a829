#include "platform/app_data.h"

#include <mutex>

#ifdef _WIN32
#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
#endif

namespace platform {
namespace {

std::mutex testFolderLock;
bool testFolderOn = false;
NativePath testFolder;

bool SystemAppDataFolder(NativePath& folder) {
#ifdef _WIN32
    // The known folder, not %APPDATA%: the variable can be missing or stale in a
    // process started by another program, the folder's registration cannot.
    PWSTR path = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &path);
    if (SUCCEEDED(hr) && path != nullptr && path[0] != L'\0') folder = path;
    ::CoTaskMemFree(path);  // also after a failure, as the call's contract asks
    return !folder.empty();
#else
    (void)folder;
    return false;
#endif
}

}  // namespace

bool RoamingAppDataFolder(NativePath& folder) {
    folder.clear();
    {
        std::lock_guard<std::mutex> hold(testFolderLock);
        if (testFolderOn) {
            folder = testFolder;
            return !folder.empty();
        }
    }
    // The system's path has no trailing backslash.
    return SystemAppDataFolder(folder);
}

bool ProgramFile(NativePath& path) {
    path.clear();
#ifdef _WIN32
    // A path may be longer than MAX_PATH; the call then cuts it and says so only by
    // filling the whole buffer.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::wstring buffer(size, L'\0');
        const DWORD got = ::GetModuleFileNameW(nullptr, &buffer[0], size);
        if (got == 0) return false;
        if (got < size) {
            path.assign(buffer, 0, got);
            return true;
        }
    }
#endif
    return false;
}

bool ProgramFolder(NativePath& folder) {
    folder.clear();
    NativePath file;
    if (!ProgramFile(file)) return false;
    const size_t slash = file.find_last_of(kPathSeparator);
    if (slash == NativePath::npos || slash == 0) return false;
    folder = file.substr(0, slash);
    // A drive's root keeps its separator: "C:" alone would be that drive's current
    // directory.
    if (folder.size() == 2 && folder[1] == ':') folder += kPathSeparator;
    return true;
}

void SetTestAppDataFolder(const NativePath& folder) {
    std::lock_guard<std::mutex> hold(testFolderLock);
    testFolderOn = true;
    testFolder = folder;
}

void ClearTestAppDataFolder() {
    std::lock_guard<std::mutex> hold(testFolderLock);
    testFolderOn = false;
    testFolder.clear();
}

}  // namespace platform

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

#include "platform/file_replace.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

bool SyncFileToDisk(std::FILE* f) {
    if (std::fflush(f) != 0) return false;
#ifdef _WIN32
    return _commit(_fileno(f)) == 0;
#else
    return fsync(fileno(f)) == 0;
#endif
}

#ifdef _WIN32
namespace {

bool HeldForAMoment(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

}  // namespace
#endif

bool ReplaceFileWith(const platform::NativePath& from, const platform::NativePath& to) {
#ifdef _WIN32
    // The C library's rename refuses an existing target; this replaces it, and does
    // not return before the move is on the disk. The deadline is kept by the system's
    // tick count, not the program's clock, which tests may stop.
    const ULONGLONG deadline = ::GetTickCount64() + kReplaceRetryMillis;
    DWORD pause = 20;
    for (;;) {
        if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        if (!HeldForAMoment(::GetLastError())) return false;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return false;
        const ULONGLONG left = deadline - now;
        // Short pauses first (most holds end within a few milliseconds), then longer.
        ::Sleep(static_cast<DWORD>(left < pause ? left : pause));
        pause = pause * 2 < 100 ? pause * 2 : 100;
    }
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

bool ReplaceFileWith(const char* from, const char* to) {
    const platform::NativePath nativeFrom = platform::NativePathFrom932(from);
    const platform::NativePath nativeTo = platform::NativePathFrom932(to);
    if (nativeFrom.empty() || nativeTo.empty()) return false;
    return ReplaceFileWith(nativeFrom, nativeTo);
}

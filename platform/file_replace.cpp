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

bool ReplaceFileWith(const platform::NativePath& from, const platform::NativePath& to) {
#ifdef _WIN32
    // The C library's rename refuses an existing target; this replaces it, and does
    // not return before the move is on the disk.
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
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

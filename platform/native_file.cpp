#include "platform/native_file.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/wide_text.h"
#else
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32

NativePath NativePathFrom932(const char* name) {
    bool invalid = false;
    NativePath w = text::Wide(name ? name : "", std::string::npos, &invalid);
    // Bytes that are not 932 name no file: an empty path opens nothing.
    return invalid ? NativePath() : w;
}

namespace {
std::FILE* (*openOverride)(const NativePath&, const char*) = nullptr;
}  // namespace

void SetOpenFileForTest(std::FILE* (*open)(const NativePath&, const char*)) { openOverride = open; }

std::FILE* OpenFile(const NativePath& path, const char* mode) {
    if (openOverride) return openOverride(path, mode);
    // The modes are plain ASCII letters.
    std::wstring wmode;
    for (const char* m = mode; *m; ++m) wmode += static_cast<wchar_t>(static_cast<unsigned char>(*m));
    return ::_wfopen(path.c_str(), wmode.c_str());
}

bool FileExists(const NativePath& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool MakeDirectory(const NativePath& path) {
    if (::CreateDirectoryW(path.c_str(), nullptr)) return true;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool RemoveFile(const NativePath& path) { return ::DeleteFileW(path.c_str()) != 0; }

#else

NativePath NativePathFrom932(const char* text) { return NativePath(text); }

namespace {
std::FILE* (*openOverride)(const NativePath&, const char*) = nullptr;
}  // namespace

void SetOpenFileForTest(std::FILE* (*open)(const NativePath&, const char*)) { openOverride = open; }

std::FILE* OpenFile(const NativePath& path, const char* mode) {
    return openOverride ? openOverride(path, mode) : std::fopen(path.c_str(), mode);
}

bool FileExists(const NativePath& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool MakeDirectory(const NativePath& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    struct stat st;
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveFile(const NativePath& path) { return ::unlink(path.c_str()) == 0; }

#endif

NativePath JoinPath(const NativePath& dir, const NativePath& name) {
    if (dir.empty()) return name;
    NativePath joined = dir;
    const auto last = joined.back();
    // Windows takes either slash; a path from a test may end in the other one.
    if (last != kPathSeparator && last != '/') joined += kPathSeparator;
    return joined + name;
}

NativePath TempPathOf(const NativePath& path) {
    NativePath temp = path;
    for (const char c : ".tmp") {
        if (c != '\0') temp += static_cast<NativePath::value_type>(c);
    }
    return temp;
}

}  // namespace platform

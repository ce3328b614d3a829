#pragma once
// Files named by the system's own kind of path: wide characters on Windows, where a
// folder of the user's profile may be named with characters that no code page holds,
// and bytes elsewhere. Every call below goes to the system's wide-character function
// on Windows (_wfopen, GetFileAttributesW, CreateDirectoryW, DeleteFileW), so no name
// passes through the ANSI code page on the way.
#include <cstdio>
#include <string>

namespace platform {

#ifdef _WIN32
using NativePath = std::wstring;
constexpr wchar_t kPathSeparator = L'\\';
#else
using NativePath = std::string;
constexpr char kPathSeparator = '/';
#endif

// A name or path in code page 932 (the program's texts) as a native path; empty when
// it is not valid 932 text.
NativePath NativePathFrom932(const char* text);

// dir and name joined by one separator (name alone when dir is empty).
NativePath JoinPath(const NativePath& dir, const NativePath& name);

// The same path with ".tmp" appended: the name a file is written under before it
// takes the place of the real one.
NativePath TempPathOf(const NativePath& path);

// fopen with a native path; mode as for fopen ("rb", "wb"). Null on failure.
std::FILE* OpenFile(const NativePath& path, const char* mode);
// Tests only: every OpenFile goes to open instead (null: the system's own again), so
// that a file can be there and refuse to be read (held by a backup or a virus
// scanner, access denied) where rights cannot make it so (root reads every file).
void SetOpenFileForTest(std::FILE* (*open)(const NativePath& path, const char* mode));

// True when path names an existing file (not a directory).
bool FileExists(const NativePath& path);

// Makes the directory unless one is there already. True when it exists afterwards.
bool MakeDirectory(const NativePath& path);

// Removes the file. False when it could not be removed.
bool RemoveFile(const NativePath& path);

}  // namespace platform

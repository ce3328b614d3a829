#include "store/preset_location.h"

#include "platform/app_data.h"
#include "platform/file_replace.h"
#include "platform/native_file.h"

#include <mutex>
#include <vector>

using platform::NativePath;

namespace {

// Set once at start-up, read at every file access (the port setup dialog's Apply);
// held under a lock so that a test that sets it meanwhile is well defined.
std::mutex programFolderLock;
NativePath programFolder;

NativePath ProgramFolder() {
    std::lock_guard<std::mutex> hold(programFolderLock);
    return programFolder;
}

// A preset file is about a kilobyte; anything far larger in the current directory is
// not one this program left, and is read but not copied.
constexpr size_t kAdoptMax = 64 * 1024;

// The two levels under the roaming folder, as in the registry key.
const char kMakerFolder[] = "Ombrix";
const char kProgramFolder[] = "Kavo2";

// The folder Ombrix\Kavo2 under the roaming application-data folder; false when the
// system has no such folder.
bool AppDataDir(NativePath& dir) {
    NativePath root;
    if (!platform::RoamingAppDataFolder(root)) return false;
    dir = platform::JoinPath(platform::JoinPath(root, platform::NativePathFrom932(kMakerFolder)),
                             platform::NativePathFrom932(kProgramFolder));
    return true;
}

bool MakeAppDataDir(const NativePath& dir) {
    NativePath root;
    if (!platform::RoamingAppDataFolder(root)) return false;
    return platform::MakeDirectory(platform::JoinPath(root, platform::NativePathFrom932(kMakerFolder))) &&
           platform::MakeDirectory(dir);
}

bool ReadNative(const NativePath& path, void* bytes, size_t size, size_t* got) {
    size_t ignored;
    if (got == nullptr) got = &ignored;
    *got = 0;
    if (path.empty()) return false;
    std::FILE* f = platform::OpenFile(path, "rb");
    if (!f) return false;
    *got = std::fread(bytes, 1, size, f);
    std::fclose(f);
    return true;
}

bool WriteNative(const NativePath& path, const void* bytes, size_t size) {
    if (path.empty()) return false;
    // The file is never cut open in place: a crash or a full disk during the write
    // would lose all it held.
    const NativePath temp = platform::TempPathOf(path);
    std::FILE* f = platform::OpenFile(temp, "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes, 1, size, f) == size;
    ok = SyncFileToDisk(f) && ok;
    ok = std::fclose(f) == 0 && ok;
    if (ok) ok = ReplaceFileWith(temp, path);
    // Only the file this call created is removed, never what was at that name before.
    if (!ok) platform::RemoveFile(temp);
    return ok;
}

}  // namespace

void SetPresetProgramFolder(const NativePath& folder) {
    std::lock_guard<std::mutex> hold(programFolderLock);
    programFolder = folder;
}

namespace {

// The file in the program's folder, or in the current directory while that folder is
// not set.
NativePath HomePath(const NativePath& name) {
    const NativePath folder = ProgramFolder();
    return folder.empty() ? name : platform::JoinPath(folder, name);
}

// The file's first place: the application-data folder, else the program's folder.
// Writes it there; true once it is in place.
bool WriteToFirstPlace(const NativePath& name, const void* bytes, size_t size) {
    NativePath dir;
    const bool haveAppData = AppDataDir(dir);
    const NativePath there = haveAppData ? platform::JoinPath(dir, name) : NativePath();
    if (haveAppData && platform::FileExists(there)) return WriteNative(there, bytes, size);
    if (WriteNative(HomePath(name), bytes, size)) return true;
    return haveAppData && MakeAppDataDir(dir) && WriteNative(there, bytes, size);
}

// A file an older version left in the current directory, read because neither first
// place has one: copied there byte for byte, so that a start from any other directory
// finds it. A failed copy leaves everything as it was.
void Adopt(const NativePath& name) {
    std::FILE* f = platform::OpenFile(name, "rb");
    if (!f) return;
    std::vector<char> bytes(kAdoptMax + 1);
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
    const bool whole = got <= kAdoptMax && !std::ferror(f);
    std::fclose(f);
    if (whole) WriteToFirstPlace(name, bytes.data(), got);
}

}  // namespace

bool ReadPresetFile(const char* fileName, void* bytes, size_t size, size_t* got) {
    const NativePath name = platform::NativePathFrom932(fileName);
    NativePath dir;
    if (!name.empty() && AppDataDir(dir)) {
        const NativePath there = platform::JoinPath(dir, name);
        if (platform::FileExists(there)) return ReadNative(there, bytes, size, got);
    }
    if (name.empty() || ProgramFolder().empty()) return ReadNative(name, bytes, size, got);
    const NativePath home = HomePath(name);
    if (platform::FileExists(home)) return ReadNative(home, bytes, size, got);
    const bool read = ReadNative(name, bytes, size, got);
    if (read) Adopt(name);
    return read;
}

bool PresetFileExists(const char* fileName) {
    const NativePath name = platform::NativePathFrom932(fileName);
    if (name.empty()) return false;
    NativePath dir;
    if (AppDataDir(dir) && platform::FileExists(platform::JoinPath(dir, name))) return true;
    return (!ProgramFolder().empty() && platform::FileExists(HomePath(name))) || platform::FileExists(name);
}

bool WritePresetFile(const char* fileName, const void* bytes, size_t size) {
    const NativePath name = platform::NativePathFrom932(fileName);
    if (name.empty()) return false;
    if (WriteToFirstPlace(name, bytes, size)) return true;
    // Neither first place takes it: the current directory, where older versions kept
    // it, rather than losing the presets at exit.
    return !ProgramFolder().empty() && WriteNative(name, bytes, size);
}

bool ReadFileAt(const char* path, void* bytes, size_t size, size_t* got) {
    return ReadNative(platform::NativePathFrom932(path), bytes, size, got);
}

bool WriteFileAt(const char* path, const void* bytes, size_t size) {
    return WriteNative(platform::NativePathFrom932(path), bytes, size);
}

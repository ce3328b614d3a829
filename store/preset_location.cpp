#include "store/preset_location.h"

#include "platform/app_data.h"
#include "platform/file_replace.h"
#include "platform/native_file.h"

using platform::NativePath;

namespace {

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

bool ReadPresetFile(const char* fileName, void* bytes, size_t size, size_t* got) {
    const NativePath name = platform::NativePathFrom932(fileName);
    NativePath dir;
    if (!name.empty() && AppDataDir(dir)) {
        const NativePath there = platform::JoinPath(dir, name);
        if (platform::FileExists(there)) return ReadNative(there, bytes, size, got);
    }
    return ReadNative(name, bytes, size, got);
}

bool WritePresetFile(const char* fileName, const void* bytes, size_t size) {
    const NativePath name = platform::NativePathFrom932(fileName);
    if (name.empty()) return false;
    NativePath dir;
    const bool haveAppData = AppDataDir(dir);
    const NativePath there = haveAppData ? platform::JoinPath(dir, name) : NativePath();
    if (haveAppData && platform::FileExists(there)) return WriteNative(there, bytes, size);
    if (WriteNative(name, bytes, size)) return true;
    return haveAppData && MakeAppDataDir(dir) && WriteNative(there, bytes, size);
}

bool ReadFileAt(const char* path, void* bytes, size_t size, size_t* got) {
    return ReadNative(platform::NativePathFrom932(path), bytes, size, got);
}

bool WriteFileAt(const char* path, const void* bytes, size_t size) {
    return WriteNative(platform::NativePathFrom932(path), bytes, size);
}

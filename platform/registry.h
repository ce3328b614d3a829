#pragma once
// The registry seam: the few calls the settings store makes, with one backend per
// system. On Windows the default backend is advapi32; the host build's only backend is
// the in-memory registry, which both builds' tests install with SetRegistry.
//
// Rules every backend keeps, because the store relies on them:
// - key paths and value names compare without regard to letter case;
// - a value keeps its type and its exact bytes;
// - a query into a buffer smaller than the value fails and copies nothing useful;
// - a key opened for reading cannot set values, one opened for writing cannot query
//   them (KEY_WRITE holds no query right);
// - opening for writing fails where the user has no write rights (HKEY_LOCAL_MACHINE
//   for an ordinary user on current Windows), and so does creating.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform {

// HKEY_LOCAL_MACHINE as a 64-bit program sees it, HKEY_CURRENT_USER, and the
// 32-bit view of HKEY_LOCAL_MACHINE, where a 32-bit program's settings live (on a
// 32-bit system, and in the host's in-memory registry, a root of its own).
enum class RegRoot { LocalMachine, CurrentUser, LocalMachine32 };

// Value types, with the system's numbers.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegQword = 11;

enum class RegAccess { Read, Write };

// An open key of one backend; null means "no key".
using RegKey = void*;

class Registry {
public:
    virtual ~Registry() = default;
    // Opens an existing key; null when it is missing or the access is refused.
    virtual RegKey OpenKey(RegRoot root, const char* path, RegAccess access) = 0;
    // Opens the key for writing, creating it and any missing keys above it; null when
    // refused.
    virtual RegKey CreateKey(RegRoot root, const char* path) = 0;
    // *size: the buffer's size on entry, the value's size on success. Fails when the
    // value is missing or larger than the buffer. The type is not checked.
    virtual bool QueryValue(RegKey key, const char* name, void* data, uint32_t* size) = 0;
    virtual bool SetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) = 0;
    virtual void CloseKey(RegKey key) = 0;
};

// The backend the store uses: the one last given to SetRegistry, else the system's.
Registry& CurrentRegistry();
// nullptr: the system's backend again. Keys open in the old backend must be closed
// before the switch (each CRegistryKey remembers its backend, so this holds for them).
void SetRegistry(Registry* registry);
// Windows: advapi32. Host: one process-wide in-memory registry.
Registry& SystemRegistry();

// A registry held in memory, with the same size, type and case rules as the real one.
// Single-threaded, like the store that uses it.
class MemoryRegistry : public Registry {
public:
    MemoryRegistry() = default;
    ~MemoryRegistry() override;
    MemoryRegistry(const MemoryRegistry&) = delete;
    MemoryRegistry& operator=(const MemoryRegistry&) = delete;

    RegKey OpenKey(RegRoot root, const char* path, RegAccess access) override;
    RegKey CreateKey(RegRoot root, const char* path) override;
    bool QueryValue(RegKey key, const char* name, void* data, uint32_t* size) override;
    bool SetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) override;
    void CloseKey(RegKey key) override;

    // Test knob: opening for writing and creating fail under root, as they do under
    // HKEY_LOCAL_MACHINE for an ordinary user. Reading still works.
    void RefuseWrites(RegRoot root, bool refuse);

    // Seeding and inspection for tests; these ignore RefuseWrites.
    void SeedKey(RegRoot root, const char* path);
    void SeedValue(RegRoot root, const char* path, const char* name, uint32_t type, const void* data, uint32_t size);
    void SeedDword(RegRoot root, const char* path, const char* name, uint32_t value);
    void SeedString(RegRoot root, const char* path, const char* name, const std::string& text);  // + NUL, REG_SZ
    bool HasKey(RegRoot root, const char* path) const;
    bool HasValue(RegRoot root, const char* path, const char* name) const;
    // False when the value is missing.
    bool GetValue(RegRoot root, const char* path, const char* name, uint32_t* type, std::vector<uint8_t>* bytes) const;
    // The number of values under the key (0 when the key is missing).
    size_t ValueCount(RegRoot root, const char* path) const;
    // Handles opened and not yet closed: a leak shows here.
    int OpenHandles() const { return openHandles_; }
    // Forgets every key and value; only while no handle is open.
    void Clear();

private:
    struct Value {
        uint32_t type = kRegNone;
        std::vector<uint8_t> bytes;
    };
    struct Key {
        std::map<std::string, Value> values;  // by folded name
    };
    struct Handle {
        Key* key;
        RegAccess access;
    };
    Key* Find(RegRoot root, const char* path) const;
    Key* Make(RegRoot root, const char* path);

    std::map<std::string, Key> keys_;  // by root tag + folded path; nodes never move
    bool refuse_[3] = {false, false, false};
    int openHandles_ = 0;
};

}  // namespace platform

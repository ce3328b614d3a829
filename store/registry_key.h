#pragma once
// One registry key at a time: opened for reading or for writing (created when
// missing), closed on the next Open and on destruction. Reads never fail outward: a
// value that cannot be read gives the caller's default. Writes ignore the outcome.
#include <cstdint>
#include <string>

#include "platform/registry.h"

constexpr int kRegistryRead = 0;
constexpr int kRegistryWrite = 1;

// The longest "Name" (or other text) read, NUL included; a longer value is unreadable.
constexpr uint32_t kRegistryStringBytes = 512;

class CRegistryKey {
public:
    CRegistryKey() = default;
    ~CRegistryKey() { Close(); }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // mode kRegistryRead opens an existing key with KEY_READ; kRegistryWrite opens it
    // with KEY_WRITE or else creates it (with any missing keys above it). Any key held
    // before is closed first; on failure none is held.
    void Open(const char* path, int mode, platform::RegRoot root = platform::RegRoot::LocalMachine);
    void Close();
    bool IsOpen() const { return key_ != nullptr; }

    // At most 4 bytes, whatever the value's type, into a number that starts as 0: a
    // shorter value fills only the low bytes. Missing, longer or no key: def.
    uint32_t ReadDword(const char* name, uint32_t def) const;
    // At most kRegistryStringBytes bytes, whatever the type, up to the first NUL.
    // Missing, longer or no key: def.
    std::string ReadString(const char* name, const char* def) const;
    void WriteDword(const char* name, uint32_t value) const;       // REG_DWORD, 4 bytes
    void WriteString(const char* name, const char* text) const;    // REG_SZ, text + NUL

private:
    platform::Registry* registry_ = nullptr;  // the backend that opened key_
    platform::RegKey key_ = nullptr;
};

#include "store/registry_key.h"

#include <cstring>

void CRegistryKey::Open(const char* path, int mode, platform::RegRoot root) {
    Close();
    platform::Registry& registry = platform::CurrentRegistry();
    if (mode == kRegistryRead) {
        key_ = registry.OpenKey(root, path, platform::RegAccess::Read);
    } else if (mode == kRegistryWrite) {
        key_ = registry.OpenKey(root, path, platform::RegAccess::Write);
        if (!key_) key_ = registry.CreateKey(root, path);
    }
    if (key_) registry_ = &registry;
}

void CRegistryKey::Close() {
    if (key_) registry_->CloseKey(key_);
    key_ = nullptr;
    registry_ = nullptr;
}

uint32_t CRegistryKey::ReadDword(const char* name, uint32_t def) const {
    if (!key_) return def;
    uint8_t bytes[4] = {0, 0, 0, 0};
    uint32_t size = sizeof bytes;
    if (!registry_->QueryValue(key_, name, bytes, &size)) return def;
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::string CRegistryKey::ReadString(const char* name, const char* def) const {
    if (!def) def = "";
    if (!key_) return def;
    // One byte more than the query may fill, so that a value without its own NUL
    // still ends inside the buffer.
    char text[kRegistryStringBytes + 1] = {};
    uint32_t size = kRegistryStringBytes;
    if (!registry_->QueryValue(key_, name, text, &size)) return def;
    return std::string(text);
}

void CRegistryKey::WriteDword(const char* name, uint32_t value) const {
    if (!key_) return;
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    registry_->SetValue(key_, name, platform::kRegDword, bytes, sizeof bytes);
}

void CRegistryKey::WriteString(const char* name, const char* text) const {
    if (!key_) return;
    registry_->SetValue(key_, name, platform::kRegSz, text, static_cast<uint32_t>(std::strlen(text) + 1));
}

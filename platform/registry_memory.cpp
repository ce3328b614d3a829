#include <cstring>

#include "platform/registry.h"

namespace platform {
namespace {

Registry* current = nullptr;

bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The registry compares names without regard to case; names are in code page 932, so
// the byte after a lead byte is part of a double-byte character and never folded.
std::string Fold(const char* text) {
    std::string out;
    for (size_t i = 0; text[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (IsLeadByte(c) && text[i + 1] != '\0') {
            out += text[i];
            out += text[++i];
        } else {
            out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        }
    }
    return out;
}

int RootIndex(RegRoot root) { return root == RegRoot::LocalMachine ? 0 : root == RegRoot::CurrentUser ? 1 : 2; }

std::string KeyId(RegRoot root, const char* path) {
    static const char* const tags[3] = {"M:", "U:", "M32:"};
    return tags[RootIndex(root)] + Fold(path);
}

}  // namespace

Registry& CurrentRegistry() { return current ? *current : SystemRegistry(); }

void SetRegistry(Registry* registry) { current = registry; }

#ifndef _WIN32
Registry& SystemRegistry() {
    static MemoryRegistry registry;
    return registry;
}
#endif

MemoryRegistry::~MemoryRegistry() = default;

MemoryRegistry::Key* MemoryRegistry::Find(RegRoot root, const char* path) const {
    auto it = keys_.find(KeyId(root, path));
    return it == keys_.end() ? nullptr : const_cast<Key*>(&it->second);
}

MemoryRegistry::Key* MemoryRegistry::Make(RegRoot root, const char* path) {
    // Every key above it exists too, as RegCreateKeyEx leaves them.
    const std::string full = path;
    for (size_t pos = full.find('\\'); pos != std::string::npos; pos = full.find('\\', pos + 1))
        keys_[KeyId(root, full.substr(0, pos).c_str())];
    return &keys_[KeyId(root, path)];
}

RegKey MemoryRegistry::OpenKey(RegRoot root, const char* path, RegAccess access) {
    if (access == RegAccess::Write && refuse_[RootIndex(root)]) return nullptr;
    Key* key = Find(root, path);
    if (!key) return nullptr;
    ++openHandles_;
    return new Handle{key, access};
}

RegKey MemoryRegistry::CreateKey(RegRoot root, const char* path) {
    if (refuse_[RootIndex(root)] || path[0] == '\0') return nullptr;
    ++openHandles_;
    return new Handle{Make(root, path), RegAccess::Write};
}

bool MemoryRegistry::QueryValue(RegKey key, const char* name, void* data, uint32_t* size) {
    auto* handle = static_cast<Handle*>(key);
    if (!handle || handle->access != RegAccess::Read) return false;
    auto it = handle->key->values.find(Fold(name));
    if (it == handle->key->values.end()) return false;
    const std::vector<uint8_t>& bytes = it->second.bytes;
    if (bytes.size() > *size) return false;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    *size = static_cast<uint32_t>(bytes.size());
    return true;
}

bool MemoryRegistry::SetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) {
    auto* handle = static_cast<Handle*>(key);
    if (!handle || handle->access != RegAccess::Write) return false;
    Value& value = handle->key->values[Fold(name)];
    value.type = type;
    const auto* p = static_cast<const uint8_t*>(data);
    value.bytes.assign(p, p + size);
    return true;
}

void MemoryRegistry::CloseKey(RegKey key) {
    if (!key) return;
    delete static_cast<Handle*>(key);
    --openHandles_;
}

void MemoryRegistry::RefuseWrites(RegRoot root, bool refuse) { refuse_[RootIndex(root)] = refuse; }

void MemoryRegistry::SeedKey(RegRoot root, const char* path) { Make(root, path); }

void MemoryRegistry::SeedValue(RegRoot root, const char* path, const char* name, uint32_t type, const void* data,
                               uint32_t size) {
    Value& value = Make(root, path)->values[Fold(name)];
    value.type = type;
    const auto* p = static_cast<const uint8_t*>(data);
    value.bytes.assign(p, p + size);
}

void MemoryRegistry::SeedDword(RegRoot root, const char* path, const char* name, uint32_t v) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 24)};
    SeedValue(root, path, name, kRegDword, bytes, 4);
}

void MemoryRegistry::SeedString(RegRoot root, const char* path, const char* name, const std::string& text) {
    SeedValue(root, path, name, kRegSz, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

bool MemoryRegistry::HasKey(RegRoot root, const char* path) const { return Find(root, path) != nullptr; }

bool MemoryRegistry::HasValue(RegRoot root, const char* path, const char* name) const {
    return GetValue(root, path, name, nullptr, nullptr);
}

bool MemoryRegistry::GetValue(RegRoot root, const char* path, const char* name, uint32_t* type,
                              std::vector<uint8_t>* bytes) const {
    const Key* key = Find(root, path);
    if (!key) return false;
    auto it = key->values.find(Fold(name));
    if (it == key->values.end()) return false;
    if (type) *type = it->second.type;
    if (bytes) *bytes = it->second.bytes;
    return true;
}

size_t MemoryRegistry::ValueCount(RegRoot root, const char* path) const {
    const Key* key = Find(root, path);
    return key ? key->values.size() : 0;
}

void MemoryRegistry::Clear() { keys_.clear(); }

}  // namespace platform

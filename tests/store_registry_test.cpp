// The in-memory registry's rules and CRegistryKey's reading and writing through it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "store/registry_key.h"

namespace {

using platform::MemoryRegistry;
using platform::RegRoot;

const RegRoot HKLM = RegRoot::LocalMachine;
const char kKey[] = "SOFTWARE\\Ombrix\\Kavo2";

class RegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetRegistry(&reg); }
    void TearDown() override {
        EXPECT_EQ(reg.OpenHandles(), 0) << "a key was left open";
        platform::SetRegistry(nullptr);
    }
    MemoryRegistry reg;
};

struct DwordCase {
    const char* what;
    uint32_t type;
    std::vector<uint8_t> bytes;
    uint32_t expected;  // with the default 0xDEFA017
};

TEST_F(RegistryKeyTest, ReadDwordTakesAtMostFourBytesOfAnyType) {
    const uint32_t def = 0xDEFA017;
    const DwordCase cases[] = {
        {"REG_DWORD", platform::kRegDword, {0x5A, 0x00, 0x00, 0x00}, 90},
        {"negative pattern", platform::kRegDword, {0xFF, 0xFF, 0xFF, 0x7F}, 0x7FFFFFFFu},
        {"2-byte binary fills the low bytes only", platform::kRegBinary, {0x34, 0x12}, 0x1234},
        {"1 byte", platform::kRegBinary, {0xAB}, 0xAB},
        {"3 bytes", platform::kRegBinary, {0x01, 0x02, 0x03}, 0x030201},
        {"empty value reads as 0", platform::kRegBinary, {}, 0},
        {"text type is not checked", platform::kRegSz, {'1', '2', '\0'}, 0x003231},
        {"5 bytes: default", platform::kRegBinary, {1, 2, 3, 4, 5}, def},
        {"8-byte QWORD: default", platform::kRegQword, {0x78, 0, 0, 0, 0, 0, 0, 0}, def},
    };
    for (const DwordCase& c : cases) {
        reg.Clear();
        reg.SeedValue(HKLM, kKey, "v", c.type, c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
        CRegistryKey key;
        key.Open(kKey, kRegistryRead);
        ASSERT_TRUE(key.IsOpen());
        EXPECT_EQ(key.ReadDword("v", def), c.expected) << c.what;
        EXPECT_EQ(key.ReadDword("missing", def), def) << c.what;
    }
}

TEST_F(RegistryKeyTest, ReadsWithoutAKeyGiveTheDefaults) {
    CRegistryKey key;
    key.Open(kKey, kRegistryRead);  // nothing there
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(key.ReadDword("Time Out", 1), 1u);
    EXPECT_EQ(key.ReadString("Name", "dflt"), "dflt");
    key.WriteDword("x", 1);  // must not create anything
    EXPECT_FALSE(reg.HasKey(HKLM, kKey));
}

TEST_F(RegistryKeyTest, ReadStringTakesUpTo512BytesAndEndsAtTheFirstNul) {
    const std::string t511(511, 'n');
    const std::string t512(512, 'n');
    struct Case {
        const char* what;
        uint32_t type;
        std::string bytes;  // stored as is
        std::string expected;
    } cases[] = {
        {"511 characters and NUL: whole", platform::kRegSz, t511 + '\0', t511},
        {"512 characters and NUL: default", platform::kRegSz, t512 + '\0', "dflt"},
        {"512 bytes without NUL: whole, ended in the buffer", platform::kRegBinary, t512, t512},
        {"text ends at the first NUL", platform::kRegSz, std::string("ab\0cd\0", 6), "ab"},
        {"empty value: empty text", platform::kRegSz, std::string(), ""},
        {"type not checked", platform::kRegDword, std::string("\x41\x42\x00\x00", 4), "AB"},
    };
    for (const Case& c : cases) {
        reg.Clear();
        reg.SeedValue(HKLM, kKey, "Name", c.type, c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
        CRegistryKey key;
        key.Open(kKey, kRegistryRead);
        EXPECT_EQ(key.ReadString("Name", "dflt"), c.expected) << c.what;
        EXPECT_EQ(key.ReadString("Other", "dflt"), "dflt") << c.what;
    }
}

TEST_F(RegistryKeyTest, WritesStoreTypeAndExactBytes) {
    CRegistryKey key;
    key.Open("SOFTWARE\\Ombrix\\Kavo2\\Controller", kRegistryWrite);  // creates the whole path
    ASSERT_TRUE(key.IsOpen());
    key.WriteDword("mTempo", 0x7FFFFFFF);
    key.WriteString("Name", "Live \x82\xA0");
    key.Close();
    EXPECT_TRUE(reg.HasKey(HKLM, "SOFTWARE"));
    EXPECT_TRUE(reg.HasKey(HKLM, kKey));

    uint32_t type = 0;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(reg.GetValue(HKLM, "SOFTWARE\\Ombrix\\Kavo2\\Controller", "mTempo", &type, &bytes));
    EXPECT_EQ(type, platform::kRegDword);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x7F}));
    ASSERT_TRUE(reg.GetValue(HKLM, "SOFTWARE\\Ombrix\\Kavo2\\Controller", "Name", &type, &bytes));
    EXPECT_EQ(type, platform::kRegSz);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{'L', 'i', 'v', 'e', ' ', 0x82, 0xA0, 0x00}));
}

TEST_F(RegistryKeyTest, KeysAndValueNamesIgnoreLetterCase) {
    reg.SeedDword(HKLM, "SOFTWARE\\Ombrix\\Kavo2\\Port1", "MIDIIn", 3);
    CRegistryKey key;
    key.Open("software\\OMBRIX\\kavo2\\pORT1", kRegistryRead);
    ASSERT_TRUE(key.IsOpen());
    EXPECT_EQ(key.ReadDword("midiin", 0), 3u);
    key.Open("Software\\Ombrix\\Kavo2\\PORT1", kRegistryWrite);
    key.WriteDword("MIDIIN", 4);
    key.Close();
    EXPECT_EQ(reg.ValueCount(HKLM, "SOFTWARE\\Ombrix\\Kavo2\\Port1"), 1u) << "the same value, not a second one";
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(reg.GetValue(HKLM, "SOFTWARE\\Ombrix\\Kavo2\\Port1", "MIDIIn", nullptr, &bytes));
    EXPECT_EQ(bytes[0], 4);
}

TEST_F(RegistryKeyTest, SecondByteOfADoubleByteCharacterIsNotFolded) {
    // 0x83 0x41 and 0x83 0x61 are two different katakana, not "A" and "a".
    reg.SeedDword(HKLM, "Key\x83\x41", "v", 1);
    EXPECT_TRUE(reg.HasKey(HKLM, "KEY\x83\x41"));
    EXPECT_FALSE(reg.HasKey(HKLM, "Key\x83\x61"));
}

TEST_F(RegistryKeyTest, ReadHandlesCannotWriteAndWriteHandlesCannotRead) {
    reg.SeedDword(HKLM, kKey, "v", 7);
    platform::Registry& r = reg;
    platform::RegKey readKey = r.OpenKey(HKLM, kKey, platform::RegAccess::Read);
    platform::RegKey writeKey = r.OpenKey(HKLM, kKey, platform::RegAccess::Write);
    ASSERT_NE(readKey, nullptr);
    ASSERT_NE(writeKey, nullptr);
    const uint8_t one[4] = {1, 0, 0, 0};
    uint8_t buffer[4] = {};
    uint32_t size = 4;
    EXPECT_FALSE(r.SetValue(readKey, "v", platform::kRegDword, one, 4));
    EXPECT_FALSE(r.QueryValue(writeKey, "v", buffer, &size));
    EXPECT_TRUE(r.QueryValue(readKey, "v", buffer, &size));
    EXPECT_EQ(buffer[0], 7);
    uint8_t small[3] = {};
    size = 3;
    EXPECT_FALSE(r.QueryValue(readKey, "v", small, &size)) << "a buffer smaller than the value";
    r.CloseKey(readKey);
    r.CloseKey(writeKey);
}

TEST_F(RegistryKeyTest, RefusedWritesFailToOpenAndToCreateButReadsWork) {
    reg.SeedDword(HKLM, kKey, "v", 7);
    reg.RefuseWrites(HKLM, true);
    CRegistryKey key;
    key.Open(kKey, kRegistryWrite);
    EXPECT_FALSE(key.IsOpen()) << "existing key";
    key.Open("SOFTWARE\\Elsewhere", kRegistryWrite);
    EXPECT_FALSE(key.IsOpen()) << "new key";
    EXPECT_FALSE(reg.HasKey(HKLM, "SOFTWARE\\Elsewhere"));
    key.Open(kKey, kRegistryRead);
    EXPECT_EQ(key.ReadDword("v", 0), 7u);
    key.Open("SOFTWARE\\Elsewhere", kRegistryWrite, RegRoot::CurrentUser);
    EXPECT_TRUE(key.IsOpen()) << "another root is unaffected";
}

TEST_F(RegistryKeyTest, ReopeningClosesTheKeyHeldBefore) {
    reg.SeedKey(HKLM, "A");
    reg.SeedKey(HKLM, "B");
    {
        CRegistryKey key;
        key.Open("A", kRegistryRead);
        key.Open("B", kRegistryRead);
        key.Open("A", kRegistryWrite);
        EXPECT_EQ(reg.OpenHandles(), 1);
        key.Open("missing", kRegistryRead);
        EXPECT_EQ(reg.OpenHandles(), 0) << "a failed open leaves no key held";
        key.Open("B", kRegistryRead);
    }
    EXPECT_EQ(reg.OpenHandles(), 0) << "destruction closes";
}

}  // namespace

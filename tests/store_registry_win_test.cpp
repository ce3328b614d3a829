// The advapi32 backend keeps the rules that the store and the in-memory registry
// rely on. Windows build only; it works in a key of its own under HKEY_CURRENT_USER
// and removes it afterwards, so it never touches the program's settings.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "store/registry_key.h"

namespace {

using platform::RegRoot;

const RegRoot HKCU = RegRoot::CurrentUser;
const char kTestKey[] = "SOFTWARE\\Ombrix\\Kavo2 backend test";

class Advapi32RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetRegistry(nullptr);
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
    }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey); }
};

TEST_F(Advapi32RegistryTest, KeepsSizeTypeAndCaseRules) {
    platform::Registry& r = platform::SystemRegistry();
    {
        CRegistryKey key;
        key.Open(kTestKey, kRegistryRead, HKCU);
        EXPECT_FALSE(key.IsOpen()) << "a missing key does not open for reading";
        key.Open(kTestKey, kRegistryWrite, HKCU);
        ASSERT_TRUE(key.IsOpen()) << "created";
        key.WriteDword("Dword", 0x7FFFFFFF);
        key.WriteString("Name", "Live \x82\xA0");
        key.WriteString("Long511", std::string(511, 'n').c_str());
        key.WriteString("Long512", std::string(512, 'n').c_str());
    }
    platform::RegKey raw = r.OpenKey(HKCU, kTestKey, platform::RegAccess::Write);
    ASSERT_NE(raw, nullptr);
    const uint8_t two[2] = {0x34, 0x12};
    EXPECT_TRUE(r.SetValue(raw, "Two", platform::kRegBinary, two, 2));
    const uint8_t eight[8] = {90, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(r.SetValue(raw, "Qword", platform::kRegQword, eight, 8));
    uint8_t buffer[4] = {};
    uint32_t size = sizeof buffer;
    EXPECT_FALSE(r.QueryValue(raw, "Dword", buffer, &size)) << "KEY_WRITE holds no query right";
    r.CloseKey(raw);

    CRegistryKey key;
    key.Open("software\\OMBRIX\\kavo2 BACKEND test", kRegistryRead, HKCU);
    ASSERT_TRUE(key.IsOpen()) << "paths ignore letter case";
    EXPECT_EQ(key.ReadDword("DWORD", 0), 0x7FFFFFFFu) << "value names ignore letter case";
    EXPECT_EQ(key.ReadDword("Two", 0xDEF), 0x1234u);
    EXPECT_EQ(key.ReadDword("Qword", 0xDEF), 0xDEFu);
    EXPECT_EQ(key.ReadDword("Missing", 0xDEF), 0xDEFu);
    EXPECT_EQ(key.ReadString("Name", "dflt"), "Live \x82\xA0");
    EXPECT_EQ(key.ReadString("Long511", "dflt"), std::string(511, 'n'));
    EXPECT_EQ(key.ReadString("Long512", "dflt"), "dflt");
}

}  // namespace
#endif  // _WIN32

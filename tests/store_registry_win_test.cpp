// The advapi32 backend keeps the rules that the store and the in-memory registry
// rely on. Windows build only; it works in a key of its own under HKEY_CURRENT_USER
// and removes it afterwards, so it never touches the program's settings.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "store/registry_key.h"
#include "store/settings_store.h"

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

// The settings a 32-bit build left in the 32-bit view of HKEY_LOCAL_MACHINE: a view of
// its own under this 64-bit program, which the store reads when nothing else holds
// the settings. The test prefix is fresh, so the program's key is free to use here.
TEST(Advapi32RegistryViewTest, SettingsInThe32BitViewAreFound) {
    platform::SetRegistry(nullptr);
    const char main[] = "SOFTWARE\\Ombrix\\Kavo2";
    HKEY existing = nullptr;
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        if (RegOpenKeyExA(root, main, 0, KEY_READ, &existing) == ERROR_SUCCESS) {
            RegCloseKey(existing);
            GTEST_SKIP() << "the program's own settings exist here; not touched";
        }
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ombrix\\Kavo2\\Controller", 0, nullptr, 0,
                              KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD tempo = 77;
    RegSetValueExA(key, "mTempo", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&tempo), sizeof tempo);
    RegCloseKey(key);

    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, main, 0, KEY_READ, &existing), ERROR_SUCCESS)
        << "the 64-bit view does not see it";
    KavoSettings s;
    uint32_t timeOut = 0;
    EXPECT_EQ(LoadSettings(s, timeOut), 1);
    EXPECT_EQ(s.mTempo, 77);

    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &software) == ERROR_SUCCESS) {
        RegDeleteTreeA(software, "Ombrix");
        RegCloseKey(software);
    }
}

}  // namespace
#endif  // _WIN32

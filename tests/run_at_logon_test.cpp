// The start-at-logon item's rules: the text stored in the Run value, and which values
// start this very program (the check mark); in the Windows build also the value
// itself, in the user's Run key of the test's own Wine prefix.
#include <gtest/gtest.h>

#include <string>

#include "tray/run_at_logon.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const std::u16string kSelf = u"C:\\Users\\Ann\\Tools\\Kavo 2\\Kavo2.exe";

TEST(RunAtLogonRuleTest, StoredTextIsThePathInQuotesAndNamesTheProgram) {
    EXPECT_EQ(RunValueFor(kSelf), u"\"C:\\Users\\Ann\\Tools\\Kavo 2\\Kavo2.exe\"");
    EXPECT_EQ(ProgramOfRunValue(RunValueFor(kSelf)), kSelf) << "a folder with a blank stays one path";
    EXPECT_TRUE(RunValueNamesProgram(RunValueFor(kSelf), kSelf));
    // Characters no code page holds pass through as they are.
    const std::u16string wide = u"C:\\Users\\\u00e9\u2603\\Kavo2.exe";
    EXPECT_TRUE(RunValueNamesProgram(RunValueFor(wide), wide));
}

TEST(RunAtLogonRuleTest, WhichValuesStartThisProgram) {
    const struct {
        const char* what;
        std::u16string value;
        bool names;
    } cases[] = {
        {"quoted, with an argument", u"\"C:\\Users\\Ann\\Tools\\Kavo 2\\Kavo2.exe\" -DISABLE", true},
        {"other letter case and slashes", u"  \"c:/users/ann/tools/KAVO 2/kavo2.EXE\"", true},
        {"unquoted path with a blank, whole value", u"C:\\Users\\Ann\\Tools\\Kavo 2\\Kavo2.exe", true},
        {"another copy", u"\"C:\\Other\\Kavo2.exe\"", false},
        {"a longer path that starts the same", u"\"C:\\Users\\Ann\\Tools\\Kavo 2\\Kavo2.exe.bak\"", false},
        {"a folder of the path only", u"\"C:\\Users\\Ann\\Tools\\Kavo 2\"", false},
        {"unquoted, cut at the blank", u"C:\\Users\\Ann\\Tools\\Kavo -x", false},
        {"quote never closed", u"\"C:\\Users\\Ann\\Tools\\Kavo 2\\Kavo2.exe", false},
        {"empty", u"", false},
        {"blanks only", u"   ", false},
        {"empty quotes", u"\"\"", false},
        {"a letter outside A-Z in the other case", u"\"C:\\Users\\Ann\\Tools\\Kavo 2\\Kavo2.exe\u00e9\"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RunValueNamesProgram(c.value, kSelf), c.names);
    }
    EXPECT_FALSE(RunValueNamesProgram(u"\"\"", u"")) << "no program path: nothing names it";
    EXPECT_EQ(ProgramOfRunValue(u"  C:\\a\\b.exe /tray"), u"C:\\a\\b.exe");
}

#ifdef _WIN32

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::wstring kPath = L"C:\\Kavo Test\\Kavo2.exe";

void Put(DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExW(key, L"Kavo2", 0, type, static_cast<const BYTE*>(data), size);
    ::RegCloseKey(key);
}

void PutText(DWORD type, const std::wstring& text) {
    Put(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// The value as stored: its type and text, or "missing".
std::wstring Stored(DWORD* type) {
    wchar_t data[512] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    *type = REG_NONE;
    if (::RegGetValueW(HKEY_CURRENT_USER, kRunKey, L"Kavo2", RRF_RT_ANY | RRF_NOEXPAND, type, data, &size) !=
        ERROR_SUCCESS)
        return L"missing";
    return data;
}

TEST(RunAtLogonRegistryTest, OnOffAndWhatOthersLeft) {
    // Start from no value: the prefix is the test run's own.
    ASSERT_TRUE(SetRunAtLogon(false, kPath));
    EXPECT_EQ(ReadRunAtLogon(kPath), RunAtLogonState::Absent);
    EXPECT_TRUE(SetRunAtLogon(false, kPath)) << "removing a missing value is no failure";

    ASSERT_TRUE(SetRunAtLogon(true, kPath));
    DWORD type = 0;
    EXPECT_EQ(Stored(&type), L"\"C:\\Kavo Test\\Kavo2.exe\"");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(ReadRunAtLogon(kPath), RunAtLogonState::ThisProgram);
    EXPECT_EQ(ReadRunAtLogon(L"C:\\Elsewhere\\Kavo2.exe"), RunAtLogonState::Other);

    ASSERT_TRUE(SetRunAtLogon(false, kPath));
    EXPECT_EQ(Stored(&type), L"missing");

    const DWORD number = 1;
    Put(REG_DWORD, &number, sizeof number);
    EXPECT_EQ(ReadRunAtLogon(kPath), RunAtLogonState::Other) << "a number under the name";
    PutText(REG_SZ, L"");
    EXPECT_EQ(ReadRunAtLogon(kPath), RunAtLogonState::Other) << "an empty text";
    // A text stored without its NUL is still read whole.
    const wchar_t bare[] = L"\"C:\\Kavo Test\\Kavo2.exe\"";
    Put(REG_SZ, bare, static_cast<DWORD>(wcslen(bare) * sizeof(wchar_t)));
    EXPECT_EQ(ReadRunAtLogon(kPath), RunAtLogonState::ThisProgram);

    // An expandable text names the program once expanded.
    ::SetEnvironmentVariableW(L"KAVO_TEST_DIR", L"C:\\Kavo Test");
    PutText(REG_EXPAND_SZ, L"\"%KAVO_TEST_DIR%\\Kavo2.exe\" -DISABLE");
    EXPECT_EQ(ReadRunAtLogon(kPath), RunAtLogonState::ThisProgram);
    ASSERT_TRUE(SetRunAtLogon(true, kPath)) << "taken over as a plain text";
    EXPECT_EQ(Stored(&type), L"\"C:\\Kavo Test\\Kavo2.exe\"");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    EXPECT_FALSE(SetRunAtLogon(true, L"")) << "no path to store";
    EXPECT_EQ(Stored(&type), L"\"C:\\Kavo Test\\Kavo2.exe\"") << "left as it was";
    ASSERT_TRUE(SetRunAtLogon(false, kPath));
}

#endif

}  // namespace

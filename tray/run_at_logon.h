#pragma once
// Starting the program at logon: a value named kRunValueName under the user's Run key
// (HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run) whose text is the
// program's full path in quotes. The user's own branch, so no administrator rights are
// needed. The rules for that text are pure functions, so that both builds test them;
// reading and changing the value is the Windows build's.
#include <string>

// The value's name: the program's, whatever its file is called, so that two copies of
// it share one value and checking the item in one takes it over from the other.
constexpr char16_t kRunValueName[] = u"Kavo2";

// The text stored for the program at path: the path in double quotes, so that the
// shell does not take a folder name with blanks for the program and its arguments.
std::u16string RunValueFor(const std::u16string& programPath);

// The program a Run value starts: the text between the first pair of double quotes
// when it begins with one (leading blanks skipped), else the text up to the first
// blank; whatever follows (arguments) is not part of it. Empty for an empty value or
// an opening quote that is never closed.
std::u16string ProgramOfRunValue(const std::u16string& value);

// True when the value starts this very program: the path it names equals programPath
// with letter case (A-Z) and the two kinds of slash ignored, as the file system
// compares them. An unquoted value that names a path with blanks also counts when the
// whole value is that path.
bool RunValueNamesProgram(const std::u16string& value, const std::u16string& programPath);

#ifdef _WIN32
// What the Run key holds under kRunValueName for the program at programPath.
enum class RunAtLogonState {
    Absent,       // no such value
    ThisProgram,  // a text naming this program: the menu item is checked
    Other,        // another copy, another program, or a value that is no text
};
RunAtLogonState ReadRunAtLogon(const std::wstring& programPath);

// on: the value is made (or replaced) to start programPath; off: it is removed (a
// missing value counts as removed). False when the registry refused, which leaves the
// value as it was.
bool SetRunAtLogon(bool on, const std::wstring& programPath);
#endif

#include "app/command_line.h"

#include <cstddef>

namespace {

char FoldAsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Compares without regard to the case of A-Z only: other bytes (code-page-932 lead and
// trail bytes among them) must match exactly.
bool EqualsIgnoringAsciiCase(const char* word, const char* upper) {
    for (; *word && *upper; ++word, ++upper) {
        if (FoldAsciiUpper(*word) != *upper) return false;
    }
    return *word == '\0' && *upper == '\0';
}

}  // namespace

int ParseEnableSwitch(const char* commandLine) {
    int enable = 1;
    if (!commandLine) return enable;
    const char* p = commandLine;
    while (*p) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        if (*p == '-' || *p == '/') {
            ++p;
            char word[kSwitchWordMax + 1];
            size_t length = 0;
            bool tooLong = false;
            for (; *p && *p != ' '; ++p) {
                if (length < static_cast<size_t>(kSwitchWordMax)) {
                    word[length++] = *p;
                } else {
                    tooLong = true;
                }
            }
            word[length] = '\0';
            if (tooLong) continue;
            if (EqualsIgnoringAsciiCase(word, "ENABLE")) {
                enable = 1;
            } else if (EqualsIgnoringAsciiCase(word, "DISABLE")) {
                enable = 0;
            }
            continue;
        }
        while (*p && *p != ' ') ++p;
    }
    return enable;
}

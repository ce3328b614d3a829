#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct SwitchCase {
    const char* commandLine;
    int expected;
};

class CommandLineTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(CommandLineTest, GivesTheEnableSwitch) {
    const SwitchCase& c = GetParam();
    EXPECT_EQ(ParseEnableSwitch(c.commandLine), c.expected) << "command line [" << (c.commandLine ? c.commandLine : "(null)") << "]";
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLineTest,
    ::testing::Values(
        // No switch: the routes start.
        SwitchCase{nullptr, 1}, SwitchCase{"", 1}, SwitchCase{"   ", 1},
        // Both switch characters, any letter case.
        SwitchCase{"-DISABLE", 0}, SwitchCase{"/disable", 0}, SwitchCase{"-DiSaBlE", 0},
        SwitchCase{"/enable", 1}, SwitchCase{"-ENABLE", 1},
        // Leading, trailing and repeated blanks.
        SwitchCase{"   -DISABLE   ", 0},
        // The last switch wins, whatever came before.
        SwitchCase{"-DISABLE -ENABLE", 1}, SwitchCase{"-ENABLE -DISABLE", 0},
        SwitchCase{"/enable -disable /ENABLE -Disable", 0},
        // Unknown words are ignored and do not reset an earlier switch.
        SwitchCase{"-FOO", 1}, SwitchCase{"-DISABLE -FOO", 0}, SwitchCase{"-FOO -DISABLE", 0},
        // Near misses are not switches.
        SwitchCase{"-DISABLED", 1}, SwitchCase{"-DISABL", 1}, SwitchCase{"DISABLE", 1},
        SwitchCase{"--DISABLE", 1}, SwitchCase{"- DISABLE", 1}, SwitchCase{"-", 1}, SwitchCase{"/", 1},
        // A switch word runs up to the next blank, so these are one word each.
        SwitchCase{"-ENABLE/DISABLE", 1}, SwitchCase{"-DISABLE/ENABLE", 1}, SwitchCase{"-DISABLE\t-ENABLE", 1},
        // Other text is passed over as a whole word: a switch character inside it is
        // not a switch, but a switch after the next blank still counts.
        SwitchCase{"foo-DISABLE", 1}, SwitchCase{"C:/tmp/disable", 1}, SwitchCase{"foo -DISABLE", 0},
        SwitchCase{"\"-DISABLE\"", 1},
        // Only A-Z fold: code-page-932 bytes do not turn into letters.
        SwitchCase{"-\x82\x60NABLE -DISABLE", 0}, SwitchCase{"-DISABLE -\x83\x66ISABLE", 0}));

TEST(CommandLineLongWordTest, WordsBeyondTheBufferMatchNothingAndTheScanGoesOn) {
    const std::string longWord = "-DISABLE" + std::string(kSwitchWordMax, 'X');
    EXPECT_EQ(ParseEnableSwitch(longWord.c_str()), 1);
    EXPECT_EQ(ParseEnableSwitch((longWord + " -DISABLE").c_str()), 0);
    EXPECT_EQ(ParseEnableSwitch(("-DISABLE " + longWord).c_str()), 0);

    // A word that exactly fills the buffer is still compared (and here matches nothing);
    // one of the recognised words padded with blanks to any length still counts.
    const std::string exact = "-" + std::string(kSwitchWordMax, 'A');
    EXPECT_EQ(ParseEnableSwitch((exact + " -DISABLE").c_str()), 0);
    EXPECT_EQ(ParseEnableSwitch((std::string(1000, ' ') + "-DISABLE").c_str()), 0);
}

}  // namespace

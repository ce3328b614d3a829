#pragma once
// The start-up switches. Kept apart from the Windows code so that both builds test the
// exact scan the program performs.

// The enable switch for a command-line text (what follows the program name, in the
// system's code page): 1 when the routes are to start, 0 when they are not.
//
// - A blank (the space character only) is skipped.
// - A '-' or '/' starts a switch word that runs up to the next blank or the end; the
//   word ENABLE sets 1, DISABLE sets 0 (letters A-Z in any case), any other word is
//   ignored. The last recognised switch wins.
// - Any other text is passed over up to the next blank, so a '-' or '/' inside a word
//   (a path such as C:/tmp/disable) does not start a switch.
// - A switch word longer than kSwitchWordMax bytes matches neither; the scan goes on
//   after the whole word.
// A null text counts as empty.
int ParseEnableSwitch(const char* commandLine);

// The switch word buffer holds this many bytes and a terminator.
constexpr int kSwitchWordMax = 255;

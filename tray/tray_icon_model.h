#pragma once
// Which picture and tooltip the notification-area icon shows. A pure function of the
// state, so that both builds test the rule; the Windows code only loads the picture
// and passes the record to the shell.
#include <cstdint>

// Picture resource numbers.
constexpr int kIconStoppedOne = 200;
constexpr int kIconStoppedTwo = 201;
constexpr int kIconRunningOne = 210;
constexpr int kIconRunningTwo = 211;
constexpr int kIconConvertingOne = 220;
constexpr int kIconConvertingTwo = 221;

// The record's tooltip holds 63 bytes and a NUL.
constexpr int kTrayTipSize = 64;

// While the routes run and one waits for a device, the tooltip's first line says so:
// this word, then the devices' names (code page 932).
extern const char* const kTipWaitingWord;

struct TrayIconInputs {
    bool engineRunning = false;
    bool inputOpen[2] = {false, false};  // route 1 and route 2 forward (input and output open)
    // The device each route waits for, or null (code page 932).
    const char* waitingFor[2] = {nullptr, nullptr};
    int32_t activeIn[2] = {0, 0};
    int32_t activeOut[2] = {0, 0};
    int32_t activeEnabled[2] = {0, 0};
    int32_t VelConvertion = 0;
    int32_t TransPose = 0;
    const char* Name = "";  // code page 932; null counts as empty
};

struct TrayIconChoice {
    int picture = kIconStoppedOne;
    char tip[kTrayTipSize] = {};
};

// The icon as start-up adds it, before the engine has started: 201 when both routes of
// the active assignment are configured, else 200; the tooltip is the stopped word alone.
TrayIconChoice ChooseStartupTrayIcon(const TrayIconInputs& in, const char* stoppedWord);

// The icon for every later change: while running, the open routes are counted and a
// conversion adds 10; while stopped, the configured routes are counted. The tooltip is
// the state word, " - " and Name, cut to 63 bytes without splitting a double-byte
// character; while running with a route waiting, a line naming what it waits for
// comes first, so that the cut takes the preset's name before the device's.
TrayIconChoice ChooseTrayIcon(const TrayIconInputs& in, const char* runningWord, const char* stoppedWord);

#pragma once
// The message-box seam. Every box of the program goes through ShowMessageBox: on
// Windows a MessageBoxA captioned with the application's title; in tests a handler
// that records the text and type and answers as scripted.
#include <cstdint>

namespace platform {

// MessageBox type bits and answers, with the system's values.
constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbOkCancel = 0x1;
constexpr unsigned kMbIconStop = 0x10;
constexpr unsigned kMbIconQuestion = 0x20;
constexpr unsigned kMbIconExclamation = 0x30;
constexpr unsigned kMbIconInformation = 0x40;
constexpr unsigned kMbIconMask = 0xF0;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// The caption of every box: the application's title (the executable's base name).
void SetAppTitle(const char* title);
const char* AppTitle();

// Shows text (code page 932) with the given type and returns the button pressed. A
// type that names no icon gets the exclamation icon, as the application's own
// message-box call does; the handler sees the type after that addition.
int ShowMessageBox(const char* text, unsigned type = kMbOk);

// Told of each of the system's boxes as it is shown, with the type the system gets:
// for the test channel, which cannot ask a box how it was made, and counts them to see
// that automatic work shows none. From any thread that shows a box. Null (the
// default) tells nobody.
using SystemBoxListener = void (*)(unsigned type);
void SetSystemBoxListener(SystemBoxListener listener);

using MessageBoxHandler = int (*)(const char* text, unsigned type, void* context);
// Replaces the system's box (nullptr: the system's box again).
void SetMessageBoxHandler(MessageBoxHandler handler, void* context);

}  // namespace platform

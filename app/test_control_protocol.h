#pragma once
// The test-only control channel of Kavo2.exe: answered when the program runs on the
// virtual MIDI devices (KAVO_VIRTUAL_MIDI set), so that end-to-end tests can feed its
// inputs and read its outputs and icon state from another process; and on the
// system's devices only when KAVO_TEST_CONTROL=1 is set, so that the same tests can
// drive the program on winmm. There the requests that play or read a virtual device
// (kFeedShort, kFeedSysEx, kDumpOutput(Timed), kClearOutput, kSetCapsResult,
// kDeviceRemove, kDeviceAdd, kDeviceSleep, kDeviceResume) answer 0
// and the state has no inOpen/outOpen lines.
//
// A request is a WM_COPYDATA sent to the hidden window "KAVO2.0": wParam is the
// sender's window, dwData the request, lpData its payload. The message's result is
// the request's result (0 for an unknown or malformed request). Requests with a text
// answer send it back before they return, as a WM_COPYDATA with dwData kReply to the
// sender's window.
#include <cstdint>

namespace testctl {

constexpr uintptr_t kFeedShort = 0x4B560001;   // payload FeedShort; result 1 when delivered, 2 when not
constexpr uintptr_t kFeedSysEx = 0x4B560002;   // payload: uint32_t input, then the bytes; result as kFeedShort
constexpr uintptr_t kDumpOutput = 0x4B560003;  // payload uint32_t output; text: one line per event
constexpr uintptr_t kClearOutput = 0x4B560004; // payload uint32_t output; result 1
constexpr uintptr_t kQueryState = 0x4B560005;  // no payload; text: "key=value" lines
// Like kDumpOutput, each line led by the time the event reached the device, in
// microseconds of a steady clock: "123456789 S 00403C90".
constexpr uintptr_t kDumpOutputTimed = 0x4B560006;
// The tray menu: "open=0|1" (a menu is being shown now), "openings=N" (menus opened
// so far), then the items of the last menu opened, read from the real menu before it
// was shown: "---" for a separator, else "<id> <x|-> <text>" (x: check mark).
constexpr uintptr_t kQueryMenu = 0x4B560020;
// How the message box last shown was made (its type's flags, which the system may not
// show on the box's window): "topmost=0|1", "setforeground=0|1".
constexpr uintptr_t kQueryBox = 0x4B560021;
// What the system made of the program's manifest: "smallIcon=WxH" (the system's
// small-icon size), "trayIcon=WxH" (the notification icon's picture as loaded),
// "commonControls=PATH" (the library's file).
constexpr uintptr_t kQueryDesktopSetup = 0x4B560022;
// The icon's adds: "adds=N" (asked of the shell so far, refused ones included),
// "refused=N" (failed on purpose, KAVO_TEST_ICON_REFUSALS), "retrying=0|1" (the icon
// is not in the notification area yet and the program keeps trying).
constexpr uintptr_t kQueryIconAdds = 0x4B560023;
// Devices that go and come, as USB devices unplugged and plugged back and a computer
// that sleeps (VirtualMidi::RemoveInput, AddInput, Suspend, Resume). Result 1 when
// done, 0 when refused (no such device, an index past the end, already asleep or
// awake) or malformed; answered on the virtual devices only.
constexpr uintptr_t kDeviceRemove = 0x4B560007;  // payload DeviceChange
constexpr uintptr_t kDeviceAdd = 0x4B560008;     // payload DeviceChange, then the name (code page 932, no NUL)
constexpr uintptr_t kDeviceSleep = 0x4B560009;   // no payload
constexpr uintptr_t kDeviceResume = 0x4B56000A;  // no payload
// An output so named (payload: the name, code page 932, no NUL) is plugged in at the
// end and at once opened by another program, which holds it, as one that takes a
// single-client device before us; in one request, so that no attempt of ours comes
// in between. kDeviceFree closes what it holds.
constexpr uintptr_t kDeviceHold = 0x4B56000B;
constexpr uintptr_t kDeviceFree = 0x4B56000C;    // no payload
constexpr uintptr_t kReply = 0x4B56FFFF;

struct FeedShort {
    uint32_t input;
    uint32_t message;  // packed short message
};

struct DeviceChange {
    uint32_t output;  // 0: an input device, 1: an output device
    uint32_t index;   // the device's index; for kDeviceAdd, kAtEnd adds it at the end
};
constexpr uint32_t kAtEnd = 0xFFFFFFFF;

// Lines of the kDumpOutput text: "S 00403C90" (a short message as the packed 32-bit
// value in hex) or "L F07E7F0901F7" (the bytes of a long message in hex).
//
// Lines of the kQueryState text, in this order:
//   icon=0|1          the icon is in the notification area
//   picture=N         its picture resource (0 before the add)
//   tip=TEXT          its tooltip, code page 932 (a line break written \n)
//   running=0|1       engineRunning
//   routeIn=A,B       route 1 / route 2 input open (0 or 1)
//   routeOut=A,B      route 1 / route 2 output open
//   wait=A,B          what route 1 / route 2 waits for: 0 nothing, 1 its input, 2 its output
//   boxes=N           how many of the system's message boxes were shown
//   inOpen=...        per virtual input device: its open count (virtual devices only)
//   outOpen=...       per virtual output device: its open count (virtual devices only)
// The device lists are the current ones: after a removal the devices that followed
// move down one place, and handles of a removed device count nowhere.

}  // namespace testctl

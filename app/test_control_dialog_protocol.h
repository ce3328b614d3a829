#pragma once
// Requests of the test-only control channel (app/test_control_protocol.h) about the
// port setup dialog and the settings it edits. Same rules: WM_COPYDATA to the hidden
// window "KAVO2.0", answered only on the virtual MIDI devices; a text answer comes back
// as a kReply before the request returns.
#include <cstdint>

namespace testctl {

// Makes a virtual device's capability query fail with `result` (0: succeed again),
// as a broken driver would. Payload CapsResult; result 1, 0 when malformed.
constexpr uintptr_t kSetCapsResult = 0x4B560101;
struct CapsResult {
    uint32_t output;  // 0: input device, 1: output device
    uint32_t device;
    uint32_t result;
};

// The port setup dialog's name box, read inside the program (its entries are not
// readable from another process). Text, code page 932:
//   dialog=0|1           the dialog exists (visible or hidden)
//   entry=DATA TEXT      one line per entry, in list order: item data and text
constexpr uintptr_t kQueryNameBox = 0x4B560102;

// The settings the dialog edits, as the application object holds them now. Text:
//   name=TEXT
//   picked=N             pickedEntry
//   route1=E,I,O,N       routeSettings: Enabled, MIDIIn, MIDIOut, Init (decimal)
//   route2=E,I,O,N
//   active1=E,I,O        activeEnabled, activeIn, activeOut
//   active2=E,I,O
//   presets=N            presetTable count
//   preset=NAME|E,I,O,N|E,I,O,N   one line per preset in use, in slot order
//   Port=N, Channel=N, VelConvertion=N, Metronome=N, TransPose=N, tOctave=N,
//   vSens=N, vOffset=N, mMeas=N, mTempo=N      the control panel's settings
//   velConvertOn=N, transposeOn=N, transposeSemitones=N, transformRoute=N,
//   metronomeOn=N, beatIndex=N                 the engine's copies
//   velocityTable=HEX    its 128 entries, two hex digits each
constexpr uintptr_t kQuerySettings = 0x4B560103;

}  // namespace testctl

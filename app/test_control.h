#pragma once
// The test-only control channel (app/test_control_protocol.h). Windows build only.
#include "platform/virtual/virtual_midi.h"

// Starts recording what the channel reports of the program's own calls: the system's
// boxes, the adds of the icon and the icon's menus. The first adds of the icon fail on
// purpose when KAVO_TEST_ICON_REFUSALS names how many (tests of a slow shell). Called
// once the channel is known to be wanted, before anything is shown.
void StartTestRecording();

// Makes the hidden window answer the channel's requests. devices: the virtual devices
// the program runs on, or null on the system's devices (KAVO_TEST_CONTROL=1), where
// only the requests that need no virtual device are answered.
void EnableTestControl(midi::VirtualMidi* devices);

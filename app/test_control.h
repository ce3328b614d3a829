#pragma once
// The test-only control channel (app/test_control_protocol.h). Windows build only.
#include "platform/virtual/virtual_midi.h"

// Makes the hidden window answer the channel's requests. devices: the virtual devices
// the program runs on, or null on the system's devices (KAVO_TEST_CONTROL=1), where
// only the requests that need no virtual device are answered.
void EnableTestControl(midi::VirtualMidi* devices);

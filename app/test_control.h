#pragma once
// The test-only control channel (app/test_control_protocol.h). Windows build only.
#include "platform/virtual/virtual_midi.h"

// Makes the hidden window answer the channel's requests on these devices. Called only
// when the program runs on the virtual devices.
void EnableTestControl(midi::VirtualMidi* devices);

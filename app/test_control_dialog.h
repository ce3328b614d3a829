#pragma once
// The test-only control channel's requests about the port setup dialog
// (app/test_control_dialog_protocol.h). Windows build only.
#include <windows.h>

#include "platform/virtual/virtual_midi.h"

// Answers one of those requests (a text answer goes to sender, from self); returns
// the request's result, or 0 for a request that is not one of them.
LRESULT HandlePortSetupTestRequest(HWND sender, HWND self, const COPYDATASTRUCT* data, midi::VirtualMidi* devices);

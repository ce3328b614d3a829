#pragma once
// The driver's test channel to the running program: a request goes to the program's
// hidden window as WM_COPYDATA, and the program may reply with a text, as WM_COPYDATA
// to a message-only window of the driver's, while it handles the request. Every
// command file of the driver asks through these (kavo_driver.cpp holds them).
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Sends one request; returns the program's result (0 when no program or no answer).
LRESULT Request(uintptr_t kind, const void* payload, size_t size);
// The same for a request that the program answers with a text: true, with the text in
// reply, when the result was 1 and the text came.
bool RequestText(uintptr_t kind, const void* payload, size_t size, std::string* reply);

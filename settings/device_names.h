#pragma once
// Routes follow their devices by name. Device indices are the system's enumeration
// order, which changes when a device is plugged into another port, another device is
// added or the system renumbers them; a route whose stored index now names another
// device would open the wrong one, or fail to open. Each route therefore keeps its
// devices' names beside the indices, and every start of the routes looks again.
#include <cstdint>
#include <string>
#include <vector>

#include "settings/settings_model.h"
#include "engine/engine.h"

// The names of the present input (output) devices, in device order. A device whose
// capabilities cannot be read gets unreadable(its index), or "" without it (it then
// matches no stored name).
std::vector<std::string> PresentInputNames(std::string (*unreadable)(uint32_t) = nullptr);
std::vector<std::string> PresentOutputNames(std::string (*unreadable)(uint32_t) = nullptr);

// The device a route opens: index, unless the name (stored with it) no longer matches
// the device at index but matches exactly one present device, which it then selects.
// No name, or a name that matches several devices or none, leaves index as it is.
// NO_DEVICE stays unassigned.
int32_t FollowDevice(int32_t index, const char* name, const std::vector<std::string>& present);

// A stored name that no present device has: the route waits for its device rather
// than open whatever device now sits at its index. No name is never missing.
bool DeviceMissing(const char* name, const std::vector<std::string>& present);

// The name of the device at index, for storing beside it ("" when there is none).
void DeviceNameAt(char (&name)[kDeviceNameSize], int32_t index, const std::vector<std::string>& present);

// What every start of the routes, and every automatic attempt, does first: the stored
// assignment (so that the port setup dialog shows and stores the device found) and the
// active one follow their names; a route with a device but no name yet (settings of an
// older version) takes the name of the device at its index. Routes that name one name
// each get a device of that name of their own: one that holds its device (held)
// keeps it, one that needs a device takes a free one, or waits while none is free.
// Returns which devices of the active assignment are missing, which open devices to
// open afresh, and which others to try.
MissingDevices FollowDevicesByName(KavoSettings& s, const HeldDevices& held = HeldDevices{});

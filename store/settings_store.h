#pragma once
// The settings model in the registry: "SOFTWARE\Ombrix\Kavo2" ("Name", "Time Out"),
// its sub-keys "Port1" and "Port2" (one route each: "Enabled", "MIDIIn", "MIDIOut",
// "Init", and the devices' names "MIDIInName" and "MIDIOutName") and "Controller".
#include <cstdint>

#include "engine/settings.h"

// Fills every stored field of s and timeOut ("Time Out", the worker's wait in
// milliseconds, which is never saved). A value that is missing or unreadable takes
// its default; one out of its range is mended (see settings_store.cpp). Returns 1
// when the main key exists, 0 on a first run.
int LoadSettings(KavoSettings& s, uint32_t& timeOut);

// Writes the stored fields back. Nothing is reported: a value that cannot be
// written is lost.
void SaveSettings(const KavoSettings& s);

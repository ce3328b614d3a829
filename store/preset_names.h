#pragma once
// The presets' device names, in a companion file beside the preset file
// ("PORTNAME.KAV"), which keeps its own layout for every program that reads it. The
// companion describes the slots of the preset table it was written with:
//
//   offset  size  contents
//   0       8     "KAVONAME"
//   8       4     version, 1 (little-endian)
//   12      4     the preset count of the table it belongs to
//   16      2048  16 slots x 2 routes x (input name 32 bytes, output name 32 bytes),
//                 NUL-terminated texts in code page 932
//
// A companion that is missing, of another size, magic or version, or written for a
// table of another count (the preset file was changed without it, by another program
// or an older version of this one) is not trusted: every preset then has indices only.
#include <cstddef>

#include "engine/settings.h"

constexpr size_t kPresetNamesFileBytes = 16 + sizeof(PresetDeviceNames);
static_assert(sizeof(PresetDeviceNames) == 2048, "layout of the names file");

// Fills names from the file, which lives where the preset file does (store/
// preset_location.h); all names empty (and false) when it is not to be trusted for a
// table of presetCount presets.
bool LoadPresetDeviceNames(PresetDeviceNames& names, int presetCount);
// Writes names for a table of presetCount presets, in the way and to the place the
// preset file is written. Nothing is reported.
void SavePresetDeviceNames(const PresetDeviceNames& names, int presetCount);

// The same for one given file (tests).
bool LoadPresetDeviceNames(PresetDeviceNames& names, int presetCount, const char* path);
void SavePresetDeviceNames(const PresetDeviceNames& names, int presetCount, const char* path);

#pragma once
// The settings model: the application object's settings (engine/settings.h) and what
// the program does with them beyond storing them: the transpose amount they give and
// the seeding of the engine's copies. Both builds hold it.
#include <cstdint>

#include "engine/settings.h"

// tOctave's low 16 bits read as a signed number, minus 100, times 12, as a signed
// 16-bit value: 100 gives 0, 101 gives 12, 95 gives -60.
int16_t TransposeSemitonesFor(int32_t tOctave);

// Makes the engine's copies of the settings (the start-up seeding): the conversion
// flags, the transformed route and its output channel, the velocity table and the transpose amount; the
// metronome off; the engine stopped. Binds the engine to these settings, which its
// worker and StartRoutes read from then on, and lets their routes follow their
// devices' names at every start (FollowDevicesByName).
void SeedEngine(KavoSettings& settings);

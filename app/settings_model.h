#pragma once
// The settings model: the application object's settings (engine/settings.h) and what
// the program does with them beyond storing them: the transpose amount they give and
// the seeding of the engine's copies. Both builds hold it.
#include <cstdint>
#include <vector>

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

// What shut-down does, in order. Stopping the routes can wait for seconds (a long
// message on a MIDI cable, a driver slow to hand its buffers back), longer than
// Windows waits for a program at the end of a session before it ends the process: then
// the settings are saved first. At any other end nothing ends the process meanwhile,
// and the routes stop before the save, so that no worker runs while it is written.
// Without cleanup (a start-up that gave up) nothing is saved and no icon was shown.
enum class ShutDownStep { StopRoutes, SaveSettings, RemoveIcon };
std::vector<ShutDownStep> ShutDownSteps(bool sessionEnding, bool engineRunning, bool cleanup);

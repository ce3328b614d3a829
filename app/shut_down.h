#pragma once
// Shut-down's order, kept apart from the Windows code so that both builds test it.
#include <vector>

// What shut-down does, in order. Stopping the routes can wait for seconds (a long
// message on a MIDI cable, a driver slow to hand its buffers back), longer than
// Windows waits for a program at the end of a session before it ends the process: then
// the settings are saved first. At any other end nothing ends the process meanwhile,
// and the routes stop before the save, so that no worker runs while it is written.
// Without cleanup (a start-up that gave up) nothing is saved and no icon was shown.
enum class ShutDownStep { StopRoutes, SaveSettings, RemoveIcon };
std::vector<ShutDownStep> ShutDownSteps(bool sessionEnding, bool engineRunning, bool cleanup);

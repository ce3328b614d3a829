#include "app/shut_down.h"

std::vector<ShutDownStep> ShutDownSteps(bool sessionEnding, bool engineRunning, bool cleanup) {
    std::vector<ShutDownStep> steps;
    if (cleanup && sessionEnding) steps.push_back(ShutDownStep::SaveSettings);
    if (engineRunning) steps.push_back(ShutDownStep::StopRoutes);
    if (cleanup && !sessionEnding) steps.push_back(ShutDownStep::SaveSettings);
    if (cleanup) steps.push_back(ShutDownStep::RemoveIcon);
    return steps;
}

// Shut-down's order: at the end of a Windows session the settings are saved before
// anything that can wait (stopping the routes waits for a long message on a cable),
// since Windows ends a program that takes too long; at any other end the routes stop
// first.
#include <gtest/gtest.h>

#include <vector>

#include "app/shut_down.h"

namespace {

using Step = ShutDownStep;

TEST(ShutDownTest, TheSettingsAreSavedBeforeAnythingThatCanWaitWhenTheSessionEnds) {
    const struct {
        const char* what;
        bool sessionEnding, running, cleanup;
        std::vector<Step> steps;
    } cases[] = {
        {"session ends, routes running", true, true, true, {Step::SaveSettings, Step::StopRoutes, Step::RemoveIcon}},
        {"session ends, routes stopped", true, false, true, {Step::SaveSettings, Step::RemoveIcon}},
        {"closed from the menu, routes running", false, true, true, {Step::StopRoutes, Step::SaveSettings, Step::RemoveIcon}},
        {"closed from the menu, routes stopped", false, false, true, {Step::SaveSettings, Step::RemoveIcon}},
        {"start-up gave up", false, true, false, {Step::StopRoutes}},
        {"session ends after start-up gave up", true, false, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ShutDownSteps(c.sessionEnding, c.running, c.cleanup), c.steps);
    }
}

}  // namespace

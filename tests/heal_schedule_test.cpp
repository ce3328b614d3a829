// When waiting routes are tried again: after the lists settle, then with growing
// pauses for a while, and afresh at every change.
#include <gtest/gtest.h>

#include <vector>

#include "tray/heal_schedule.h"

TEST(HealSchedule, SettlesThenBacksOffThenGivesUpUntilTheNextChange) {
    HealSchedule s;
    EXPECT_EQ(s.Changed(false), HealSchedule::kSettleMs);
    EXPECT_FALSE(s.Begin());
    std::vector<uint32_t> pauses;
    uint32_t total = 0;
    for (uint32_t p; (p = s.Attempted(false)) != 0;) {
        pauses.push_back(p);
        total += p;
        EXPECT_FALSE(s.Begin());
        ASSERT_LT(pauses.size(), 100u) << "the attempts end";
    }
    ASSERT_EQ(pauses.size(), static_cast<size_t>(HealSchedule::kMaxRetries));
    EXPECT_EQ(pauses.front(), 1000u);
    for (size_t i = 1; i < pauses.size(); ++i) EXPECT_GE(pauses[i], pauses[i - 1]) << "pauses only grow";
    EXPECT_EQ(pauses.back(), 30000u);
    EXPECT_GT(total, 5u * 60 * 1000) << "minutes, for a program that frees its device late";

    // A change starts over; a success ends the attempts.
    EXPECT_EQ(s.Changed(false), HealSchedule::kSettleMs);
    EXPECT_EQ(s.Attempted(false), 1000u);
    EXPECT_EQ(s.Attempted(true), 0u);
    EXPECT_EQ(s.Attempted(false), 1000u) << "the next wait begins afresh";
}

TEST(HealSchedule, AWakeFromSleepReopensEverythingOnceEvenWhenAChangeFollows) {
    HealSchedule s;
    s.Changed(true);
    s.Changed(false);  // a device notice while the lists settle after the wake
    EXPECT_TRUE(s.Begin());
    s.Attempted(false);
    EXPECT_FALSE(s.Begin()) << "the retry only opens what waits";
}

#include "tray/heal_schedule.h"

namespace {
// The pauses between attempts, in ms; the last one repeats.
constexpr uint32_t kPauses[] = {1000, 2000, 4000, 8000, 15000, 30000};
constexpr int kPauseCount = static_cast<int>(sizeof kPauses / sizeof kPauses[0]);
}  // namespace

uint32_t HealSchedule::Changed(bool resume) {
    retries_ = 0;
    reopenAll_ = reopenAll_ || resume;
    return kSettleMs;
}

bool HealSchedule::Begin() {
    const bool all = reopenAll_;
    reopenAll_ = false;
    return all;
}

uint32_t HealSchedule::Attempted(bool allOpen) {
    if (allOpen || retries_ >= kMaxRetries) {
        retries_ = 0;
        return 0;
    }
    const uint32_t pause = kPauses[retries_ < kPauseCount ? retries_ : kPauseCount - 1];
    ++retries_;
    return pause;
}

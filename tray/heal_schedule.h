#pragma once
// When the hidden window tries to bring waiting routes back. A device change (or a
// loss the engine found, or a wake from sleep) first lets the device lists settle:
// Windows lists a device's ports one by one, and under the newer MIDI stack seconds
// after the device itself. While a route still waits (its device not back yet, or held
// by another program, which the system announces nowhere) the attempts go on with
// growing pauses for a while; every later change starts over. A pure state machine, so
// that both builds test the rule; the window only arms its timer with the delays.
#include <cstdint>

class HealSchedule {
public:
    static constexpr uint32_t kSettleMs = 500;
    // Attempts after the first that find a route still waiting, and then no more
    // until the next change: about seven minutes in all.
    static constexpr int kMaxRetries = 18;

    // A change: the delay to (re)arm the timer with (a change that comes while the
    // lists settle settles them again). resume: the next attempt reopens every route.
    uint32_t Changed(bool resume);
    // The timer fired: whether this attempt reopens every route (a wake from sleep).
    bool Begin();
    // The attempt's result: the pause before the next attempt, or 0 for none.
    uint32_t Attempted(bool allOpen);

private:
    int retries_ = 0;
    bool reopenAll_ = false;
};

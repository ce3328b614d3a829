// The metronome: a bell and a click note per beat, mixed into the output of the route
// that Port names. It has no timer: the worker runs a step after every wake-up.
#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/monitor_tap.h"
#include "platform/clock.h"

Relaxed<int32_t> metronomeOn{0};
Relaxed<uint32_t> beatIndex{0};
uint32_t lastTickTime = 0;

namespace {

// Accents in tenths of mVolume, per measure (2/2, 3/4, 4/4) and beat. Cells past a
// row's beat count hold 255 and are never read.
const uint8_t kBellAccents[3][5] = {{12, 0, 255, 255, 255}, {12, 0, 0, 255, 255}, {12, 0, 0, 0, 255}};
const uint8_t kClickAccents[3][5] = {{12, 10, 255, 255, 255}, {12, 10, 12, 255, 255}, {12, 10, 12, 10, 255}};
const uint32_t kBeatsPerMeasure[3] = {2, 3, 4};

// The metronome settings come from the registry unchecked; what cannot be played as
// stored is bounded here, where it would otherwise reach the wire or an index:
//   mTempo below 30 (0 included) plays at 30, above 250 at 250 (the panel's range);
//   mMeas below 0 plays 2/2, above 2 plays 4/4;
//   mChannel outside 0..15 plays on channel 10 (9), the default;
//   mBell / mClick outside 0..127 play the default keys 34 / 33;
//   a velocity outside 0..127 (mVolume above 106 or below 0) is held to 0..127.
int Measure(int32_t m) { return m < 0 ? 0 : (m > 2 ? 2 : m); }
uint32_t Channel(int32_t c) { return (c < 0 || c > 15) ? 9u : static_cast<uint32_t>(c); }
uint32_t Key(int32_t k, uint32_t fallback) { return (k < 0 || k > 127) ? fallback : static_cast<uint32_t>(k); }

uint32_t Velocity(int32_t volume, uint8_t accent) {
    const int v = static_cast<int>(volume * (accent / 10.0));
    return static_cast<uint32_t>(v < 0 ? 0 : (v > 127 ? 127 : v));
}

void PlayNote(int32_t port, int i, midi::OutHandle out, uint32_t ch, uint32_t key, uint32_t velocity) {
    if (!out) return;  // Port names a closed output: the beat is lost, nothing else
    const uint32_t off = (0x80 | ch) | (key << 8);
    const uint32_t on = (0x90 | ch) | (key << 8) | (velocity << 16);
    SendShortTo(i, out, off);
    SendShortTo(i, out, on);
    if (!TapOn()) return;
    TapShort(kTapWorker, TapSource::Metronome, port, off);
    TapShort(kTapWorker, TapSource::Metronome, port, on);
}

}  // namespace

uint32_t MetronomeTempo(int32_t t) { return t < 30 ? 30u : (t > 250 ? 250u : static_cast<uint32_t>(t)); }

uint32_t WorkerWait(uint32_t now, uint32_t lastTick, bool metronome, int32_t mTempo, uint32_t timeout) {
    if (!metronome) return timeout;
    const uint32_t elapsed = now - lastTick;  // unsigned, as in MetronomeStep
    const uint32_t interval = 60000u / MetronomeTempo(mTempo);
    if (elapsed > interval) return 0;
    const uint32_t untilDue = interval + 1 - elapsed;
    return untilDue < timeout ? untilDue : timeout;
}

void MetronomeStep() { MetronomeStepOn(EngineSettings().Port); }

void MetronomeStepOn(int32_t port) {
    if (metronomeOn != 1) return;
    const KavoSettings& s = EngineSettings();
    const uint32_t now = platform::TickCount();
    const uint32_t elapsed = now - lastTickTime;  // unsigned: the tick count's wrap does no harm
    const uint32_t interval = 60000u / MetronomeTempo(s.mTempo);
    if (elapsed <= interval) return;  // a tick needs strictly more than one interval
    lastTickTime = now;  // lateness is not made up

    // The panel may change the measure and reset the beat at any time: read both once
    // and bring the beat into the row before looking it up.
    const int meas = Measure(s.mMeas);
    uint32_t beat = beatIndex;
    if (beat >= kBeatsPerMeasure[meas]) beat = 0;

    midi::OutHandle out = port == 0 ? routeOut[0] : (port == 1 ? routeOut[1] : nullptr);
    // An output that keeps a long message, or is gone, gets nothing more (the beat is
    // lost, as on a closed output).
    const int i = out ? OutputIndex(port) : 0;
    if (out && !OutputTakes(i)) out = nullptr;
    const uint32_t ch = Channel(s.mChannel);
    const int32_t volume = s.mVolume;
    PlayNote(port, i, out, ch, Key(s.mBell, 34), Velocity(volume, kBellAccents[meas][beat]));
    PlayNote(port, i, out, ch, Key(s.mClick, 33), Velocity(volume, kClickAccents[meas][beat]));

    ++beat;
    beatIndex = beat >= kBeatsPerMeasure[meas] ? 0 : beat;
}

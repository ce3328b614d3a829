// Velocity curve, octave transpose and output channel of the transformed route.
#include "engine/engine.h"

Relaxed<int32_t> velConvertOn{0};
Relaxed<int32_t> transposeOn{0};
Relaxed<int16_t> transposeSemitones{0};
Relaxed<int32_t> transformRoute{0};
Relaxed<uint8_t> velocityTable[128];
Relaxed<int32_t> transformChannel{16};

namespace {
template <class T>
T Limit(T v, T lo, T hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The channel in force, or -1 for "ALL": a value outside 0..15 is never put on the wire.
int32_t ChannelInForce() {
    const int32_t c = transformChannel;
    return c >= 0 && c <= 15 ? c : -1;
}
}  // namespace

void BuildVelocityTable(int32_t vSens, int32_t vOffset) {
    const double c = Limit<double>(200.0 - vSens, 0.0, 200.0);
    const int32_t b = Limit<int32_t>(127 - vOffset, 0, 126);  // the floor velocity
    velocityTable[0] = 0;  // a note-on with velocity 0 is a note-off and stays one
    for (int32_t i = 1; i < b; ++i) velocityTable[i] = static_cast<uint8_t>(b);
    double e = c / 100.0 - 1.0;
    e = e + e + 1.0;  // the slope of the curve at the floor
    if (e < 0.0) e = 0.0;
    for (int32_t i = b; i <= 127; ++i) {
        const double x = i - b;
        const double t = x / (127 - b);
        const double s = e - t * (e - 1.0);
        double v = x * s + b;
        if (v < 0.0) v = 0.0;
        if (v > 127.0) v = 127.0;
        velocityTable[i] = static_cast<uint8_t>(v);
    }
}

bool AnyTransformOn() { return velConvertOn == 1 || transposeOn == 1 || ChannelInForce() >= 0; }

uint32_t TransformMessage(uint32_t m) {
    // Channel-voice messages only (80..EF): system messages have no channel, and a
    // packed message without a status byte is left as the device gave it.
    const int32_t channel = ChannelInForce();
    if (channel >= 0 && (m & 0x80) && (m & 0xF0) != 0xF0) m = (m & ~0x0Fu) | static_cast<uint32_t>(channel);
    if (velConvertOn == 1 && (m & 0xF0) == 0x90) {
        const uint32_t v = (m >> 16) & 0x7F;
        m = (m & 0xFFFF) | (static_cast<uint32_t>(velocityTable[v]) << 16);
    }
    const uint32_t kind = m & 0xF0;
    if (transposeOn == 1 && (kind == 0x80 || kind == 0x90)) {
        const int16_t n = static_cast<int16_t>((m >> 8) & 0x7F);
        const int16_t k = static_cast<int16_t>(n + transposeSemitones);
        // A key off the keyboard becomes a silent note-on (90 00 00) rather than a
        // wrapped key that would sound somewhere else.
        if (k < 0 || k > 127) return 0x90;
        m = (m & 0x00FF00FF) | (static_cast<uint32_t>(k) << 8);
    }
    return m;
}

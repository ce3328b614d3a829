// The notes each route has turned on and not yet off, and the channel and key each
// went out as: a note-off goes where its note-on went whatever the transform is by
// then (transpose, output channel), and what is still held when a route stops gets
// its note-off, so nothing is left sounding. The sustain pedal likewise.
#include <cstring>

#include "engine/engine.h"
#include "engine/engine_internal.h"

namespace {

// Per route, channel and key played: where the note-on went out, as 1 + key + 128 ×
// channel, or 0 for none (so that the zeroed table of a program just loaded holds
// nothing). The worker's alone while it runs; the user-interface thread's otherwise.
uint16_t sentKey[2][16][128];
constexpr uint16_t kNone = 0;
uint32_t KeyOf(uint16_t sent) { return (sent - 1u) & 0x7F; }
uint32_t ChannelOf(uint16_t sent) { return (sent - 1u) >> 7; }
uint16_t Sent(uint32_t m) { return static_cast<uint16_t>(1 + ((m >> 8) & 0x7F) + 128 * (m & 0x0F)); }
// Per route and channel played: the channel its sustain pedal went down on at the
// output, as 1 + channel, or 0 while it is up. Every pedal message follows it there
// until the pedal comes up, whatever channel the panel names by then.
uint8_t pedalSent[2][16];

bool IsNoteOn(uint32_t m) { return (m & 0xF0) == 0x90 && ((m >> 16) & 0x7F) != 0; }
bool IsNoteOff(uint32_t m) { return (m & 0xF0) == 0x80 || ((m & 0xF0) == 0x90 && ((m >> 16) & 0x7F) == 0); }
bool IsPedal(uint32_t m) { return (m & 0xF0) == 0xB0 && ((m >> 8) & 0x7F) == 64; }
uint32_t WithKey(uint32_t m, uint32_t key) { return (m & 0x00FF00FF) | (key << 8); }
uint32_t WithChannel(uint32_t m, uint32_t ch) { return (m & ~0x0Fu) | ch; }

}  // namespace

void ClearHeldNotes(int r) {
    std::memset(sentKey[r], 0, sizeof sentKey[r]);
    std::memset(pedalSent[r], 0, sizeof pedalSent[r]);
}

uint32_t ForwardedMessage(int r, uint32_t m, bool transform) {
    const uint32_t ch = m & 0x0F;
    const uint32_t key = (m >> 8) & 0x7F;
    uint16_t& sent = sentKey[r][ch][key];
    if (IsNoteOff(m)) {
        if (sent == kNone) return transform ? TransformMessage(m) : m;
        const uint32_t out = WithChannel(WithKey(m, KeyOf(sent)), ChannelOf(sent));
        sent = kNone;
        return out;
    }
    if (IsPedal(m)) {
        uint8_t& pedal = pedalSent[r][ch];
        const bool down = ((m >> 16) & 0x7F) >= 64;
        const uint32_t out = pedal != 0 ? WithChannel(m, pedal - 1u) : (transform ? TransformMessage(m) : m);
        pedal = down ? static_cast<uint8_t>(1 + (out & 0x0F)) : 0;
        return out;
    }
    const uint32_t out = transform ? TransformMessage(m) : m;
    // A note-on the velocity curve silenced, or one transposed off the keyboard, leaves
    // nothing sounding. A key struck again before its note-off came keeps its latest
    // key only: the panel sweeps every output when the transform changes, so an
    // earlier key it sounded on has been silenced already.
    if (IsNoteOn(m)) sent = IsNoteOn(out) ? Sent(out) : kNone;
    return out;
}

void ReleaseHeldNotes(int r) {
    midi::OutHandle out = routeOut[r];
    const int i = OutputIndex(r);
    for (uint32_t ch = 0; ch < 16; ++ch) {
        for (uint32_t key = 0; key < 128; ++key) {
            uint16_t& sent = sentKey[r][ch][key];
            if (sent == kNone) continue;
            if (out && OutputTakes(i)) SendShortTo(i, out, (0x80 | ChannelOf(sent)) | (KeyOf(sent) << 8));
            sent = kNone;
        }
        uint8_t& pedal = pedalSent[r][ch];
        if (out && OutputTakes(i) && pedal != 0) SendShortTo(i, out, (0xB0 | (pedal - 1u)) | (64u << 8));
        pedal = 0;
    }
}

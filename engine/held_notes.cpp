// The notes each route has turned on and not yet off, and the key each went out as:
// a note-off goes where its note-on went whatever the transform is by then, and what
// is still held when a route stops gets its note-off, so nothing is left sounding.
#include <cstring>

#include "engine/engine.h"
#include "engine/engine_internal.h"

namespace {

// Per route, channel and key played: 1 + the key the note-on went out as, or 0 for
// none (so that the zeroed table of a program just loaded holds nothing). The worker's
// alone while it runs; the user-interface thread's otherwise.
uint8_t sentKey[2][16][128];
constexpr uint8_t kNone = 0;
uint32_t KeyOf(uint8_t sent) { return sent - 1u; }
uint8_t Sent(uint32_t key) { return static_cast<uint8_t>(key + 1); }
// Per route, bit c: the sustain pedal of channel c is down at its output.
uint16_t sustainDown[2];

bool IsNoteOn(uint32_t m) { return (m & 0xF0) == 0x90 && ((m >> 16) & 0x7F) != 0; }
bool IsNoteOff(uint32_t m) { return (m & 0xF0) == 0x80 || ((m & 0xF0) == 0x90 && ((m >> 16) & 0x7F) == 0); }
uint32_t WithKey(uint32_t m, uint32_t key) { return (m & 0x00FF00FF) | (key << 8); }

}  // namespace

void ClearHeldNotes(int r) {
    std::memset(sentKey[r], 0, sizeof sentKey[r]);
    sustainDown[r] = 0;
}

uint32_t ForwardedMessage(int r, uint32_t m, bool transform) {
    const uint32_t ch = m & 0x0F;
    const uint32_t key = (m >> 8) & 0x7F;
    uint8_t& sent = sentKey[r][ch][key];
    if (IsNoteOff(m)) {
        if (sent == kNone) return transform ? TransformMessage(m) : m;
        const uint32_t out = WithKey(m, KeyOf(sent));
        sent = kNone;
        return out;
    }
    if ((m & 0xF0) == 0xB0 && key == 64) {
        const uint32_t bit = 1u << ch;
        sustainDown[r] = static_cast<uint16_t>(((m >> 16) & 0x7F) >= 64 ? sustainDown[r] | bit : sustainDown[r] & ~bit);
    }
    const uint32_t out = transform ? TransformMessage(m) : m;
    // A note-on the velocity curve silenced, or one transposed off the keyboard, leaves
    // nothing sounding. A key struck again before its note-off came keeps its latest
    // key only: the panel sweeps every output when the transform changes, so an
    // earlier key it sounded on has been silenced already.
    if (IsNoteOn(m)) sent = IsNoteOn(out) ? Sent((out >> 8) & 0x7F) : kNone;
    return out;
}

void ReleaseHeldNotes(int r) {
    midi::OutHandle out = routeOut[r];
    const int i = OutputIndex(r);
    for (uint32_t ch = 0; ch < 16; ++ch) {
        for (uint32_t key = 0; key < 128; ++key) {
            uint8_t& sent = sentKey[r][ch][key];
            if (sent == kNone) continue;
            if (out && OutputTakes(i)) SendShortTo(i, out, (0x80 | ch) | (KeyOf(sent) << 8));
            sent = kNone;
        }
        if (out && OutputTakes(i) && (sustainDown[r] & (1u << ch))) SendShortTo(i, out, (0xB0 | ch) | (64u << 8));
    }
    sustainDown[r] = 0;
}

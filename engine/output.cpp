// What reaches an output besides forwarded short messages: long messages, All Sound
// Off and the tuning tone. Callable from the worker and the user-interface thread.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "platform/message_box.h"

std::recursive_mutex outputLock[2];
Relaxed<int32_t> outputUnusable[2];
LongSlot longSlot[2][kLongSlots];

const char* const kMsgTuning = "ﾁｭｰﾆﾝｸﾞが終了したら「OK」ボタンを押して下さい。";

namespace {

// How long a long send may take before the device is told to give the header back.
// A full 256-byte buffer needs about 82 ms on a MIDI cable; a device still busy after
// a second is stuck, and a stuck device must not hang the worker or the panel.
constexpr auto kLongSendDeadline = std::chrono::milliseconds(1000);
constexpr auto kAfterResetDeadline = std::chrono::milliseconds(500);

// Waits for the done flag until the deadline. A deadline, not a retry count: the
// bound must not depend on how fast this machine spins. Yields first (most devices
// finish within microseconds), then sleeps so a slow device costs no core.
bool WaitDone(const midi::Header& h, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int spins = 0;; ++spins) {
        if (midi::LoadFlags(h) & midi::kMhdrDone) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (spins < 64) std::this_thread::yield();
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void SendShortToAllOpen(uint32_t base) {
    for (int r = 0; r < 2; ++r) {
        midi::OutHandle out = routeOut[r];
        if (!out || outputUnusable[r] == 1) continue;
        for (uint32_t c = 0; c < 16; ++c) midi::OutShortMsg(out, base + c);
    }
}

LongSlot* FreeSlot(int r) {
    for (LongSlot& s : longSlot[r])
        if (!s.heldBy) return &s;
    return nullptr;
}

// The device kept the header: it stays reserved, with its bytes, until the device
// hands it back or is closed, and the output takes nothing more.
void Park(int r, LongSlot& s, midi::OutHandle out) {
    s.heldBy = out;
    outputUnusable[r] = 1;
}

// Sends count (at most kLongSlotSize) bytes as one long message from a slot of route
// r. False when the rest of the message must not follow: nothing could be sent, or
// the device kept the header.
bool SendPart(int r, midi::OutHandle out, const uint8_t* bytes, uint32_t count) {
    LongSlot* s = FreeSlot(r);
    // Every slot is held by a device that never gave it back (devices wedged in
    // several sessions in a row): sending would hand this device memory another one
    // may still read or write, so the message is dropped.
    if (!s) return false;
    std::memcpy(s->bytes, bytes, count);
    midi::Header& h = s->header;
    std::memset(&h, 0, sizeof h);
    h.lpData = s->bytes;
    h.dwBufferLength = count;
    h.dwBytesRecorded = 0;
    h.dwFlags = midi::kMhdrDone;
    h.dwOffset = 0;
    if (midi::OutPrepareHeader(out, &h) != midi::kNoError) return false;
    const bool sent = midi::OutLongMsg(out, &h) == midi::kNoError;
    if (sent && !WaitDone(h, kLongSendDeadline)) {
        midi::OutReset(out);  // hands every pending long buffer back, on a sane driver
        WaitDone(h, kAfterResetDeadline);
    }
    // Unpreparing a header the device still holds would free it for the next send
    // while the device may yet read or write it. winmm would refuse the unprepare
    // (still playing), but the done flag is what says the device has finished, so it
    // decides first.
    if (sent && (midi::LoadFlags(h) & midi::kMhdrDone) == 0) {
        Park(r, *s, out);
        return false;
    }
    if (midi::OutUnprepareHeader(out, &h) == midi::kStillPlaying) {
        Park(r, *s, out);
        return false;
    }
    return sent;
}

}  // namespace

void SendLongMessage(int32_t route, const uint8_t* bytes, uint32_t count) {
    if (route == 0 && routeOut[0]) SendLongOnRoute(0, bytes, count);
    else if (route == 1 && routeOut[1]) SendLongOnRoute(1, bytes, count);
}

// The caller's bytes are copied into a slot of the engine's own, so that they are the
// caller's again when this returns even if the device keeps the header. The send still
// waits for the device (up to the deadlines): long messages to one output stay in
// order and whole, and a sane device is done before the next one starts. Messages
// longer than a slot leave as consecutive long messages under one hold of the lock, as
// input SysEx longer than a buffer does; no caller sends more than a buffer's worth.
void SendLongOnRoute(int r, const uint8_t* bytes, uint32_t count) {
    std::lock_guard<std::recursive_mutex> lock(outputLock[r]);
    midi::OutHandle out = routeOut[r];
    if (!out || outputUnusable[r] == 1) return;
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(count - done, kLongSlotSize);
        if (!SendPart(r, out, bytes + done, n)) return;
        done += n;
    }
}

int ReleaseParkedHeaders(int r, midi::OutHandle out, bool closed) {
    if (!out) return 0;
    std::lock_guard<std::recursive_mutex> lock(outputLock[r]);
    int held = 0;
    for (LongSlot& s : longSlot[r]) {
        if (s.heldBy != out) continue;
        if (!closed && ((midi::LoadFlags(s.header) & midi::kMhdrDone) == 0 ||
                        midi::OutUnprepareHeader(out, &s.header) == midi::kStillPlaying)) {
            ++held;
            continue;
        }
        s.heldBy = nullptr;
    }
    return held;
}

void AllSoundOff() { SendShortToAllOpen(0x78B0); }  // B0+c 78 00 on channels 0..15

void PlayTuningTone() {
    SendShortToAllOpen(0x603990);  // 90+c 39 60: key 57 (A), velocity 96
    platform::ShowMessageBox(kMsgTuning, platform::kMbOk | platform::kMbIconInformation);
    AllSoundOff();  // the tone ends with All Sound Off; no note-off is sent
}

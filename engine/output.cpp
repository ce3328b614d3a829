// What reaches an output besides forwarded short messages: long messages, All Sound
// Off and the tuning tone; and the long-message machinery the worker shares.
#include <algorithm>
#include <cstring>
#include <new>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/monitor_tap.h"
#include "platform/message_box.h"

LongBuffer* outputBuffer[2];
LongBuffer* parkedBuffer[2];
platform::WakeEvent longDoneEvent;

const char* const kMsgTuning = "ﾁｭｰﾆﾝｸﾞが終了したら「OK」ボタンを押して下さい。";

namespace {

// How long a long message may take before the device is told to give the header back:
// twice its time on a MIDI cable (320 us a byte) and a second more. A device still busy
// then is stuck, and a stuck device must not hold its output, the worker or the panel.
constexpr auto kAfterResetDeadline = std::chrono::milliseconds(500);
EngineClock::duration SendDeadline(uint32_t count) {
    return std::chrono::seconds(1) + std::chrono::microseconds(640) * count;
}

// The flight of output i's buffer. Guarded by outputLock[i].
struct Flight {
    EngineClock::time_point deadline;
    bool resetSent;
};
Flight flight[2];

// The buffer keeps its bytes with the device: it is left there (freed when the device
// is closed), and the output takes nothing more.
void Park(int i) {
    parkedBuffer[i] = outputBuffer[i];
    outputBuffer[i] = nullptr;
    outputUnusable[i] = 1;
}

// A channel message (its channel nibble 0) on all 16 channels of every open output,
// route 1 first.
void SendOnAllChannels(uint32_t base) {
    for (int r = 0; r < 2; ++r) {
        // An output both routes hold gets it once.
        if (!routeOut[r] || OutputIndex(r) != r) continue;
        UiOutputHold hold(r);
        for (uint32_t c = 0; c < 16 && OutputTakes(r); ++c) {
            SendShortTo(r, routeOut[r], base + c);
            if (TapOn()) TapShort(kTapOther, TapSource::Panel, r, base + c);
        }
    }
    wakeEvent.Pulse();  // a worker that found an output taken tries it again
}

}  // namespace

void OutputCallback(midi::OutHandle, uint32_t msg, uintptr_t, uintptr_t, uintptr_t) {
    if (msg != midi::kMomDone) return;
    wakeEvent.Pulse();
    longDoneEvent.Pulse();
}

bool StartLong(int i, midi::OutHandle out, const uint8_t* bytes, uint32_t count, const uint8_t* more,
               uint32_t moreCount) {
    if (!outputBuffer[i]) outputBuffer[i] = new (std::nothrow) LongBuffer;
    LongBuffer* b = outputBuffer[i];
    const uint32_t total = count + moreCount;
    if (!b || total == 0 || total > kMaxLongMessage) return false;
    std::memcpy(b->bytes, bytes, count);
    if (moreCount) std::memcpy(b->bytes + count, more, moreCount);
    midi::Header& h = b->header;
    std::memset(&h, 0, sizeof h);  // flags zero: drivers refuse to prepare anything else
    h.lpData = b->bytes;
    h.dwBufferLength = total;
    midi::Result res = midi::OutPrepareHeader(out, &h);
    if (res == midi::kNoError) {
        res = midi::OutLongMsg(out, &h);
        if (res != midi::kNoError) midi::OutUnprepareHeader(out, &h);
    }
    if (res != midi::kNoError) {
        if (Gone(res)) MarkOutputLost(i);
        return false;
    }
    flight[i] = Flight{EngineClock::now() + SendDeadline(total), false};
    return true;
}

void AbandonLong(int i) {
    parkedBuffer[i] = outputBuffer[i];
    outputBuffer[i] = nullptr;
}

LongState PollLong(int i, midi::OutHandle out) {
    midi::Header& h = outputBuffer[i]->header;
    // The done flag is what says the device has finished with the bytes; unpreparing a
    // header it still holds would free it for the next message while it may yet read it.
    // A driver may store the flag a moment before it lets go of the header: one that
    // still answers "still playing" is looked at again as a message in flight.
    const bool done = (midi::LoadFlags(h) & midi::kMhdrDone) && midi::OutUnprepareHeader(out, &h) != midi::kStillPlaying;
    if (done) return LongState::Done;
    if (EngineClock::now() < flight[i].deadline) {
        return LongState::InFlight;
    } else if (!flight[i].resetSent) {
        midi::OutReset(out);  // hands every pending long buffer back, on a sane driver
        flight[i] = Flight{EngineClock::now() + kAfterResetDeadline, true};
        return LongState::InFlight;
    }
    Park(i);
    return LongState::Kept;
}

EngineClock::time_point LongDeadline(int i) { return flight[i].deadline; }

LongState FinishLong(int i, midi::OutHandle out) {
    for (;;) {
        const LongState s = PollLong(i, out);
        if (s != LongState::InFlight) return s;
        // The output's callback pulses at every message done; the time-out only
        // bounds a driver that finishes without saying so.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(LongDeadline(i) - EngineClock::now());
        longDoneEvent.Wait(static_cast<uint32_t>(std::clamp<int64_t>(left.count() + 1, 1, EffectiveWaitTimeout())));
    }
}

void SendLongMessage(int32_t route, const uint8_t* bytes, uint32_t count) {
    if (route == 0 && routeOut[0]) SendLongOnRoute(0, bytes, count);
    else if (route == 1 && routeOut[1]) SendLongOnRoute(1, bytes, count);
}

// The caller's bytes are copied into the output's buffer, so that they are the
// caller's again when this returns even if the device keeps the header. The send still
// waits for the device (up to the deadlines), holding the output's lock: whatever else
// is bound for the output follows the message's last byte, and a sane device is done
// before the next message starts. A message longer than the buffer leaves in parts
// under one hold of the lock; no caller sends more than a few bytes.
void SendLongOnRoute(int r, const uint8_t* bytes, uint32_t count) {
    const int i = OutputIndex(r);
    {
        UiOutputHold hold(i);
        midi::OutHandle out = routeOut[r];
        for (uint32_t done = 0; out && OutputTakes(i) && done < count;) {
            const uint32_t n = std::min(count - done, kMaxLongMessage);
            if (!StartLong(i, out, bytes + done, n)) break;
            if (TapOn()) TapLong(kTapOther, TapSource::Panel, r, bytes + done, n);
            if (FinishLong(i, out) != LongState::Done) break;
            done += n;
        }
    }
    wakeEvent.Pulse();  // a worker that found the output taken tries it again
}

void AllSoundOff() { SendOnAllChannels(0x78B0); }  // B0+c 78 00 on channels 0..15

void PlayTuningTone() {
    SendOnAllChannels(0x603990);  // 90+c 39 60: key 57 (A), velocity 96
    platform::ShowMessageBox(kMsgTuning, platform::kMbOk | platform::kMbIconInformation);
    AllSoundOff();  // the tone ends with All Sound Off; no note-off is sent
}

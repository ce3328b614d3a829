// What reaches an output besides forwarded short messages: long messages, All Sound
// Off and the tuning tone. Callable from the worker and the user-interface thread.
#include <chrono>
#include <thread>

#include "engine/engine.h"
#include "platform/message_box.h"

std::recursive_mutex outputLock[2];

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
        if (!out) continue;
        for (uint32_t c = 0; c < 16; ++c) midi::OutShortMsg(out, base + c);
    }
}

}  // namespace

void SendLongMessage(int32_t route, const uint8_t* bytes, uint32_t count) {
    if (route == 0 && routeOut[0]) SendLongOnRoute(0, bytes, count);
    else if (route == 1 && routeOut[1]) SendLongOnRoute(1, bytes, count);
}

void SendLongOnRoute(int r, const uint8_t* bytes, uint32_t count) {
    std::lock_guard<std::recursive_mutex> lock(outputLock[r]);
    midi::OutHandle out = routeOut[r];
    if (!out) return;
    midi::Header h{};
    h.lpData = const_cast<char*>(reinterpret_cast<const char*>(bytes));  // the device only reads them
    h.dwBufferLength = count;
    h.dwBytesRecorded = 0;
    h.dwFlags = midi::kMhdrDone;
    h.dwOffset = 0;
    if (midi::OutPrepareHeader(out, &h) != midi::kNoError) return;
    // The header and the bytes are the caller's and live on past this call only as
    // long as the caller wants; the device must be done with them before we return.
    if (midi::OutLongMsg(out, &h) == midi::kNoError && !WaitDone(h, kLongSendDeadline)) {
        midi::OutReset(out);  // hands every pending long buffer back
        WaitDone(h, kAfterResetDeadline);
    }
    midi::OutUnprepareHeader(out, &h);
}

void AllSoundOff() { SendShortToAllOpen(0x78B0); }  // B0+c 78 00 on channels 0..15

void PlayTuningTone() {
    SendShortToAllOpen(0x603990);  // 90+c 39 60: key 57 (A), velocity 96
    platform::ShowMessageBox(kMsgTuning, platform::kMbOk | platform::kMbIconInformation);
    AllSoundOff();  // the tone ends with All Sound Off; no note-off is sent
}

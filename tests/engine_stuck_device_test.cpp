// Wedged devices: an output that keeps a long message's header past its deadline and
// the reset, an input that keeps its SysEx buffers past the reset at stop, and closes
// that are refused meanwhile. The virtual device writes (and reads the bytes of) what it
// finally hands back, so memory reused in the meantime shows in its record.
#include <algorithm>
#include <thread>

#include "engine/engine_internal.h"
#include "tests/engine_test_support.h"

namespace {

const std::vector<uint8_t> kGsReset = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};

std::vector<uint8_t> SysEx(uint8_t fill, size_t n = 200) {
    std::vector<uint8_t> v(n, fill);
    v.front() = 0xF0;
    v.back() = 0xF7;
    return v;
}

class StuckDevice : public EngineOnModels {
protected:
    void TearDown() override {
        for (uint32_t id = 0; id < 2; ++id) {
            dev.SetOutHoldsLong(id, false);
            dev.SetInHoldsBuffers(id, false);
        }
        StopRoutes();  // closes whatever is still held
        EXPECT_EQ(HeldDeviceCount(), 0);
        EngineOnModels::TearDown();
    }
    // A send gives a wedged output 1.5 s; a loaded machine may need more.
    template <class F>
    static bool WaitFor(F done) {
        return EngineOnModels::WaitFor(done, std::chrono::seconds(20));
    }
    // Every header the device holds, and its data, is the engine's own storage (never
    // a stack that is gone). The header is checked before its data pointer is read.
    static bool EngineOwned(const std::vector<const midi::Header*>& held) {
        return std::all_of(held.begin(), held.end(), [](const midi::Header* h) {
            return IsEngineStorage(h, sizeof *h) && IsEngineStorage(h->lpData, h->dwBufferLength);
        });
    }
    void Send(int32_t route, const std::vector<uint8_t>& bytes) {
        SendLongMessage(route, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
};

TEST_P(StuckDevice, OutputThatKeepsALongHeaderGetsNothingMoreUntilTheNextStart) {
    for (const bool fromWorker : {false, true}) {
        SCOPED_TRACE(fromWorker ? "forwarded SysEx" : "panel's long message");
        Assign(0, 0, 0);
        Assign(1, 1, 1);
        StartRoutes();
        WaitForSysExBuffers(0);
        dev.SetOutHoldsLong(0, true);
        const std::vector<uint8_t> first = SysEx(0x11);
        std::vector<uint8_t> caller = first;
        if (fromWorker) dev.SendSysEx(0, first.data(), first.size());
        else Send(0, caller);
        std::fill(caller.begin(), caller.end(), 0x55);  // the caller's memory is its own again
        ASSERT_TRUE(WaitFor([] { return outputUnusable[0] == 1; }));
        const auto held = dev.OutPendingHeaders(0);
        ASSERT_EQ(held.size(), 1u);
        EXPECT_TRUE(EngineOwned(held));

        // Sixteen more SysEx messages go round every input buffer, the forwarded one's
        // included; then a short message, which also shows they have all been delivered.
        WaitForSysExBuffers(0);
        for (uint8_t i = 0; i < kSysExBuffers; ++i) dev.SendSysEx(0, SysEx(0x20 + i).data(), 200);
        dev.EnableCallbackLog(0, 4);
        dev.SendShort(0, 0x403C90);
        ASSERT_TRUE(WaitFor([this] { return dev.CallbackLog(0).size() == 1; }));
        EXPECT_EQ(dev.InDropCounts(0).sysExBytes, 0u);
        Send(0, kGsReset);  // the panel's resets, All Sound Off, the tuning tone
        AllSoundOff();
        PlayTuningTone();
        // The metronome on the wedged output stays silent, and plays once Port changes.
        platform::SetTestClock(fromWorker ? 2000000 : 1000000);  // a tick due in each case
        // Two wakes one after the other: the first one's whole round (the metronome's
        // step included) is over once the second has come. A clock byte on the wedged
        // route makes the second (and is dropped).
        const uint64_t wakes = workerWakeups;
        metronomeOn = 1;
        WakeWorker();
        ASSERT_TRUE(WaitFor([wakes] { return workerWakeups > wakes; }));
        const uint64_t again = workerWakeups;
        dev.SendShort(0, 0xF8);
        ASSERT_TRUE(WaitFor([again] { return workerWakeups > again; }));
        settings.Port = 1;
        WakeWorker();  // as the panel's port choice does (its All Sound Off)
        ASSERT_TRUE(dev.WaitForOutEvents(1, 16 + 32 + 4, kWait));
        metronomeOn = 0;
        settings.Port = 0;
        EXPECT_EQ(dev.OutPendingCount(0), 1u);

        // It lets go at last and reads what it was given: the first message, intact.
        dev.SetOutHoldsLong(0, false);
        ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
        StopRoutes();
        const auto record = dev.OutRecord(0);
        ASSERT_EQ(record.size(), 1u) << "something more was sent to the wedged output";
        EXPECT_EQ(record[0].bytes, first);
        EXPECT_EQ(ShortMessages(1).size(), 16u + 32u + 4u + 16u);
        EXPECT_EQ(dev.OutPreparedCount(0), 0u);
        EXPECT_FALSE(dev.IsOutOpen(0));
        EXPECT_EQ(outputUnusable[0], 0);
        // Opened afresh, the output takes long messages again.
        StartRoutes();
        Send(0, kGsReset);
        EXPECT_EQ(LongMessages(0).back(), kGsReset);
        StopRoutes();
        dev.ClearOutRecord(0);
        dev.ClearOutRecord(1);
        platform::ClearTestClock();
    }
}

TEST_P(StuckDevice, OutputThatRefusesToCloseIsHeldWithItsHeaderAndClosedLater) {
    dev.SetOutExclusive(0, true);
    Assign(0, 0, 0);
    StartRoutes();
    dev.SetOutHoldsLong(0, true);
    const std::vector<uint8_t> first = SysEx(0x11, 12);
    Send(0, first);
    ASSERT_EQ(outputUnusable[0], 1);
    StopRoutes();
    EXPECT_TRUE(dev.IsOutOpen(0));
    EXPECT_EQ(HeldDeviceCount(), 1);
    EXPECT_TRUE(EngineOwned(dev.OutPendingHeaders(0)));
    // While it still refuses it cannot be opened again, and stays held.
    StartRoutes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kMsgCannotOpenOut1);
    StopRoutes();
    EXPECT_EQ(HeldDeviceCount(), 1);
    // The route plays on another output meanwhile, from other memory.
    Assign(0, 0, 1);
    StartRoutes();
    const std::vector<uint8_t> second = SysEx(0x22, 12);
    Send(0, second);
    EXPECT_EQ(LongMessages(1), std::vector<std::vector<uint8_t>>{second});
    dev.SetOutHoldsLong(0, false);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    EXPECT_EQ(LongMessages(0), std::vector<std::vector<uint8_t>>{first});
    StopRoutes();
    EXPECT_FALSE(dev.IsOutOpen(0));
    EXPECT_EQ(HeldDeviceCount(), 0);
    EXPECT_EQ(dev.OutPreparedCount(0), 0u);
    Assign(0, 0, 0);
    StartRoutes();
    EXPECT_NE(routeOut[0], nullptr);
    EXPECT_EQ(boxes.size(), 1u);
}

TEST_P(StuckDevice, InputThatKeepsItsBuffersIsHeldAndALaterStartOpensItAgain) {
    Assign(0, 0, 0);
    StartRoutes();
    WaitForSysExBuffers(0);
    dev.SetInHoldsBuffers(0, true);
    StopRoutes();
    EXPECT_FALSE(workerThread.Exists());
    EXPECT_TRUE(dev.IsInOpen(0));
    EXPECT_EQ(HeldDeviceCount(), 1);
    const auto held = dev.InQueuedHeaders(0);
    EXPECT_EQ(held.size(), static_cast<size_t>(kSysExBuffers));
    EXPECT_TRUE(EngineOwned(held)) << "the device holds headers on the ended worker's stack";
    // Another input on the route meanwhile gets buffers of its own and forwards SysEx.
    Assign(0, 1, 0);
    StartRoutes();
    WaitForSysExBuffers(1);
    for (const midi::Header* h : dev.InQueuedHeaders(1))
        EXPECT_EQ(std::find(held.begin(), held.end(), h), held.end()) << "a held header was queued again";
    const auto sysex = SysEx(0x33);
    dev.ClearOutRecord(0);
    dev.SendSysEx(1, sysex.data(), sysex.size());
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    EXPECT_EQ(LongMessages(0), std::vector<std::vector<uint8_t>>{sysex});
    StopRoutes();
    // While the held input still refuses, a start cannot open it again.
    Assign(0, 0, 0);
    StartRoutes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kMsgCannotOpenIn1);
    StopRoutes();
    // Once it lets go, the next start closes it and opens it afresh.
    dev.SetInHoldsBuffers(0, false);
    StartRoutes();
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(HeldDeviceCount(), 0);
    EXPECT_EQ(dev.InOpenCount(0), 1);
    WaitForSysExBuffers(0);
    dev.ClearOutRecord(0);
    dev.SendSysEx(0, sysex.data(), sysex.size());
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    EXPECT_EQ(LongMessages(0), std::vector<std::vector<uint8_t>>{sysex});
    StopRoutes();
    EXPECT_EQ(dev.InPreparedCount(0), 0u);
}

KAVO_ON_BOTH_MODELS(StuckDevice);

}  // namespace

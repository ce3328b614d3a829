// Route start and stop, input capture and forwarding, through the virtual devices.
#include <thread>

#include "tests/engine_test_support.h"

namespace {

class Routes : public EngineOnModels {};

TEST_P(Routes, BothRoutesForwardEveryMessageInOrder) {
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    StartRoutes();
    ASSERT_NE(routeIn[0], nullptr);
    ASSERT_NE(routeIn[1], nullptr);
    EXPECT_EQ(statusCalls, 1);
    EXPECT_TRUE(boxes.empty());

    // Two players at once, from two threads: every message, in its order, on its own
    // route's output only.
    constexpr uint32_t kCount = 3000;
    auto play = [this](uint32_t in, uint32_t channel) {
        for (uint32_t i = 0; i < kCount; ++i) {
            const uint32_t key = i % 128, vel = (i / 128) % 128;
            ASSERT_TRUE(dev.SendShort(in, (0x90 | channel) | (key << 8) | (vel << 16)));
            // Fast, but never more than half a ring ahead of the output, so no
            // message may be lost however slow this machine is today.
            if (i % 256 == 255) {
                ASSERT_TRUE(dev.WaitForOutEvents(in, i + 1 - 256, kWait));
            }
        }
    };
    std::thread a(play, 0, 0), b(play, 1, 5);
    a.join();
    b.join();
    ASSERT_TRUE(dev.WaitForOutEvents(0, kCount, kWait));
    ASSERT_TRUE(dev.WaitForOutEvents(1, kCount, kWait));
    StopRoutes();
    for (uint32_t out = 0; out < 2; ++out) {
        const auto got = ShortMessages(out);
        // Every key is still down at the stop: each gets its note-off, then the sweep.
        ASSERT_EQ(got.size(), kCount + 128 + 16) << "output " << out;
        const uint32_t channel = out == 0 ? 0 : 5;
        for (uint32_t i = 0; i < kCount; ++i)
            ASSERT_EQ(got[i], (0x90 | channel) | ((i % 128) << 8) | (((i / 128) % 128) << 16)) << "output " << out << " at " << i;
        for (uint32_t key = 0; key < 128; ++key) ASSERT_EQ(got[kCount + key], (0x80 | channel) | (key << 8));
    }
    EXPECT_EQ(ringDrops[0], 0u);
    EXPECT_EQ(ringDrops[1], 0u);
}

TEST_P(Routes, OnlyConfiguredRoutesOpen) {
    Assign(0, 1, 0);
    Assign(1, 0, NO_DEVICE);  // no output: not usable
    StartRoutes();
    EXPECT_EQ(engineRunning, 1);
    EXPECT_NE(routeIn[0], nullptr);
    EXPECT_EQ(routeIn[1], nullptr);
    EXPECT_EQ(routeOut[1], nullptr);
    EXPECT_TRUE(dev.IsInOpen(1));
    EXPECT_FALSE(dev.IsInOpen(0));
    EXPECT_EQ(dev.OutOpenCount(0), 1);
    EXPECT_EQ(dev.OutOpenCount(1), 0);
    EXPECT_TRUE(workerThread.Exists());
    StopRoutes();
    EXPECT_FALSE(dev.IsInOpen(1));
    EXPECT_FALSE(dev.IsOutOpen(0));
}

TEST_P(Routes, DisabledOrUnassignedRoutesAreNotOpened) {
    Assign(0, 0, 0, /*enabled=*/0);
    Assign(1, NO_DEVICE, 1);
    StartRoutes();
    EXPECT_EQ(engineRunning, 1);  // running with no route
    EXPECT_FALSE(workerThread.Exists());
    EXPECT_EQ(dev.InOpensTotal(0) + dev.InOpensTotal(1) + dev.OutOpensTotal(0) + dev.OutOpensTotal(1), 0u);
    EXPECT_EQ(statusCalls, 1);
    StopRoutes();
    EXPECT_EQ(engineRunning, 0);
    EXPECT_EQ(statusCalls, 2);
    EXPECT_TRUE(dev.OutRecord(0).empty());
}

TEST_P(Routes, EnabledMeansAnyNonZeroValue) {
    Assign(0, 0, 0, /*enabled=*/5);
    StartRoutes();
    EXPECT_NE(routeIn[0], nullptr);
}

struct OpenFailure {
    const char* name;
    std::function<void(midi::VirtualMidi&)> arrange;
    int32_t in2;  // route 2's input (0 = the same device as route 1)
    const char* message;
};

// The next thread cannot be made, as on a system out of threads; the ones after can.
bool RefuseOneThread() {
    platform::WorkerThread::SetStartGate(nullptr);
    return false;
}

TEST_P(Routes, AnyOpenFailureClosesBothRoutesAndSaysWhich) {
    const OpenFailure cases[] = {
        {"route 1 input", [](midi::VirtualMidi& d) { d.SetInOpenResult(0, midi::kAllocated); }, 1, kMsgCannotOpenIn1},
        {"route 1 output", [](midi::VirtualMidi& d) { d.SetOutOpenResult(0, midi::kError); }, 1, kMsgCannotOpenOut1},
        {"route 2 input", [](midi::VirtualMidi& d) { d.SetInOpenResult(1, midi::kError); }, 1, kMsgCannotOpenIn2},
        {"route 2 output", [](midi::VirtualMidi& d) { d.SetOutOpenResult(1, midi::kAllocated); }, 1, kMsgCannotOpenOut2},
        // Both routes name one input and the device refuses a second open.
        {"shared input", [](midi::VirtualMidi&) {}, 0, kMsgCannotOpenIn2},
        {"worker thread", [](midi::VirtualMidi&) { platform::WorkerThread::SetStartGate(&RefuseOneThread); }, 1,
         kMsgCannotStart},
    };
    for (const OpenFailure& c : cases) {
        SCOPED_TRACE(c.name);
        midi::VirtualMidi local(midi::VirtualMidi::Config{{"Key A", "Key B"}, {"Synth A", "Synth B"}});
        local.SetModel(GetParam());
        midi::SetBackend(&local);
        boxes.clear();
        statusCalls = 0;
        Assign(0, 0, 0);
        Assign(1, c.in2, 1);
        c.arrange(local);
        StartRoutes();
        platform::WorkerThread::SetStartGate(nullptr);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, c.message);
        EXPECT_EQ(boxes[0].type, platform::kMbOk | platform::kMbIconExclamation);
        // Nothing is left open, no worker runs, and the icon is not updated.
        for (uint32_t id = 0; id < 2; ++id) {
            EXPECT_EQ(local.InOpenCount(id), 0) << "input " << id;
            EXPECT_EQ(local.OutOpenCount(id), 0) << "output " << id;
            EXPECT_EQ(local.InPreparedCount(id), 0u);
        }
        EXPECT_EQ(routeIn[0], nullptr);
        EXPECT_EQ(routeIn[1], nullptr);
        EXPECT_EQ(routeOut[0], nullptr);
        EXPECT_EQ(routeOut[1], nullptr);
        EXPECT_FALSE(workerThread.Exists());
        EXPECT_EQ(statusCalls, 0);
        // The engine still counts as running; a stop cleans up normally.
        EXPECT_EQ(engineRunning, 1);
        StopRoutes();
        EXPECT_EQ(engineRunning, 0);
        EXPECT_EQ(statusCalls, 1);
        midi::SetBackend(&dev);
    }
}

TEST_P(Routes, FailedStartDoesNotReplayStaleInputLater) {
    // Route 1 opens and starts, then route 2 fails: what route 1 captured in that
    // moment must not come out of a later start.
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    dev.SetOutOpenResult(1, midi::kError);
    ringWrite[0].store(5);  // as if route 1 had captured five messages meanwhile
    StartRoutes();
    EXPECT_EQ(ringWrite[0].load(), 0u);
    EXPECT_EQ(ringRead[0].load(), 0u);
    StopRoutes();
    dev.SetOutOpenResult(1, midi::kNoError);
    StartRoutes();
    dev.SendShort(0, 0x7F3C90);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    EXPECT_EQ(ShortMessages(0), std::vector<uint32_t>{0x7F3C90});
}

TEST_P(Routes, StopSilencesClosesAndEmptiesEverything) {
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    StartRoutes();
    for (int i = 0; i < 200; ++i) dev.SendShort(0, 0x403C90);
    const uint8_t sysex[300] = {0xF0};
    WaitForSysExBuffers(1);
    dev.SendSysEx(1, sysex, sizeof sysex);
    StopRoutes();
    EXPECT_EQ(engineRunning, 0);
    EXPECT_FALSE(workerThread.Exists());
    // The event outlives the session: a device may still call back.
    EXPECT_TRUE(wakeEvent.Exists());
    for (uint32_t id = 0; id < 2; ++id) {
        EXPECT_FALSE(dev.IsInOpen(id));
        EXPECT_FALSE(dev.IsOutOpen(id));
        EXPECT_EQ(dev.InPreparedCount(id), 0u) << "a SysEx header was left prepared on input " << id;
        EXPECT_EQ(dev.InQueuedCount(id), 0u);
        // Whatever was forwarded, the output ends with All Sound Off on 16 channels.
        const auto got = ShortMessages(id);
        ASSERT_GE(got.size(), 16u);
        EXPECT_EQ(std::vector<uint32_t>(got.end() - 16, got.end()), AllSoundOffMessages());
    }
    for (int r = 0; r < 2; ++r) {
        EXPECT_EQ(ringWrite[r].load(), 0u);
        EXPECT_EQ(ringRead[r].load(), 0u);
        EXPECT_EQ(routeIn[r], nullptr);
        EXPECT_EQ(routeOut[r], nullptr);
    }
}

TEST_P(Routes, RepeatedStartStopUnderSysExLeavesNoHeaderBehind) {
    // The worker queues a buffer again right after it forwards it; a stop that lands
    // between the reset and that re-queue must still get every header back, or the
    // input cannot close and stays taken for the next start.
    Assign(0, 0, 0);
    std::vector<uint8_t> sysex(600, 0x11);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    for (int round = 0; round < 40; ++round) {
        StartRoutes();
        ASSERT_NE(routeIn[0], nullptr) << "round " << round;
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            while (feeding) dev.SendSysEx(0, sysex.data(), sysex.size());
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
        StopRoutes();
        feeding = false;
        feeder.join();
        ASSERT_EQ(dev.InOpenCount(0), 0) << "round " << round;
        ASSERT_EQ(dev.InPreparedCount(0), 0u) << "round " << round;
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_P(Routes, SysExLongerThanABufferLeavesWholeAsOneLongMessage) {
    // Gathered from its buffers: a message sent in parts could have anything land
    // between them, and Wine's winmm would wrap each part in F0 ... F7.
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    StartRoutes();
    std::vector<uint8_t> a(700), b(300), exact(512);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i & 0x7F);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(0x7F - (i & 0x7F));
    for (size_t i = 0; i < exact.size(); ++i) exact[i] = static_cast<uint8_t>((i * 7) & 0x7F);
    a.front() = b.front() = exact.front() = 0xF0;
    a.back() = b.back() = exact.back() = 0xF7;
    const std::vector<uint8_t> cut(b.begin(), b.begin() + 10);  // no F7: a status byte cut it
    WaitForSysExBuffers(0);
    WaitForSysExBuffers(1);
    dev.SendSysEx(0, a.data(), a.size());
    dev.SendSysEx(1, b.data(), b.size());
    dev.SendSysEx(0, cut.data(), cut.size());
    dev.SendSysEx(0, exact.data(), exact.size());  // fills its two buffers exactly
    ASSERT_TRUE(dev.WaitForOutEvents(0, 3, kWait));
    ASSERT_TRUE(dev.WaitForOutEvents(1, 1, kWait));
    EXPECT_EQ(LongMessages(0), (std::vector<std::vector<uint8_t>>{a, cut, exact}));
    EXPECT_EQ(LongMessages(1), std::vector<std::vector<uint8_t>>{b});
    // Sixteen buffers in turn: many more messages than buffers keep flowing.
    for (size_t i = 0; i < 40; ++i) {
        // One at a time, as at MIDI speed: a device drops SysEx that finds no
        // buffer queued.
        dev.SendSysEx(1, b.data(), b.size());
        ASSERT_TRUE(dev.WaitForOutEvents(1, 2 + i, kWait)) << i;
    }
    EXPECT_EQ(LongMessages(1).back(), b);
    EXPECT_EQ(dev.InDropCounts(1).sysExBytes, 0u);
}

TEST_P(Routes, TransformsApplyToThePortRouteOnly) {
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    transposeOn = 1;
    transposeSemitones = 12;
    transformRoute = 1;
    StartRoutes();
    dev.SendShort(0, 0x403C90);
    dev.SendShort(1, 0x403C90);
    dev.SendShort(1, 0x403C80);
    dev.SendShort(1, 0x2000E0);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    ASSERT_TRUE(dev.WaitForOutEvents(1, 3, kWait));
    EXPECT_EQ(ShortMessages(0), std::vector<uint32_t>{0x403C90});
    EXPECT_EQ(ShortMessages(1), (std::vector<uint32_t>{0x404890, 0x404880, 0x2000E0}));
    // A change from the panel takes effect from the next message.
    transposeOn = 0;
    velConvertOn = 1;
    BuildVelocityTable(100, 16);
    dev.SendShort(1, 0x013C90);
    ASSERT_TRUE(dev.WaitForOutEvents(1, 4, kWait));
    EXPECT_EQ(ShortMessages(1).back(), 0x6F3C90u);
}

TEST_P(Routes, WaitTimeoutIsBounded) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 1}, {1, 1}, {50, 50}, {100, 100}, {101, 100}, {0xFFFFFFFF, 100}};
    for (auto [set, used] : cases) {
        waitTimeout = set;
        EXPECT_EQ(EffectiveWaitTimeout(), used) << set;
    }
    // With the system's infinite value the stop still ends (the pulse is not lost).
    waitTimeout = 0xFFFFFFFF;
    Assign(0, 0, 0);
    StartRoutes();
    StopRoutes();
    EXPECT_FALSE(workerThread.Exists());
    waitTimeout = 1;
}

// The callbacks are driven by hand here, with no worker: ring positions are exact.
TEST_P(Routes, RingWrapsAtTheEndAndKeepsItsContentsWhenFull) {
    EXPECT_EQ(ringWrite[0].load(), 0u);
    for (uint32_t i = 0; i < kRingSize - 1; ++i) MidiInCallback1(nullptr, midi::kMimData, 0, 0x100000 + i, 0);
    EXPECT_EQ(ringWrite[0].load(), kRingSize - 1);
    // Full: 1023 unread entries. The next message is dropped, the queue is kept.
    MidiInCallback1(nullptr, midi::kMimData, 0, 0xDEAD, 0);
    EXPECT_EQ(ringWrite[0].load(), kRingSize - 1);
    EXPECT_EQ(ringDrops[0].load(), 1u);
    EXPECT_EQ(inputRing[0][0], 0x100000u);
    EXPECT_EQ(inputRing[0][kRingSize - 2], 0x100000u + kRingSize - 2);
    // Once the reader has taken them, the 1024th message goes to slot 1023 and the
    // write position wraps to 0.
    ringRead[0].store(kRingSize - 1);
    MidiInCallback1(nullptr, midi::kMimData, 0, 0xBEEF, 0);
    EXPECT_EQ(inputRing[0][kRingSize - 1], 0xBEEFu);
    EXPECT_EQ(ringWrite[0].load(), 0u);
    // Route 2's callback writes route 2's ring only.
    MidiInCallback2(nullptr, midi::kMimData, 0, 0x90, 0);
    EXPECT_EQ(ringWrite[1].load(), 1u);
    EXPECT_EQ(inputRing[1][0], 0x90u);
    EXPECT_EQ(ringWrite[0].load(), 0u);
}

TEST_P(Routes, OtherNotificationsLeaveTheRingAlone) {
    const uint32_t others[] = {midi::kMimOpen, midi::kMimClose, midi::kMimLongData, midi::kMimError, midi::kMimLongError};
    for (uint32_t msg : others) MidiInCallback1(nullptr, msg, 0, 0x403C90, 0);
    EXPECT_EQ(ringWrite[0].load(), 0u);
    EXPECT_EQ(ringDrops[0].load(), 0u);
}

TEST_P(Routes, FloodBeyondTheRingLosesOnlyCountedMessagesAndNeverReorders) {
    // Feed far faster than any player: whatever the worker could not take in time is
    // dropped as the newest and counted; what arrives is in order, without gaps
    // other than the counted ones.
    Assign(0, 0, 0);
    StartRoutes();
    constexpr uint32_t kCount = 16000;  // a 14-bit sequence number in the data bytes
    for (uint32_t i = 0; i < kCount; ++i) dev.SendShort(0, 0xB0 | ((i & 0x7F) << 8) | (((i >> 7) & 0x7F) << 16));
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (dev.OutRecordSize(0) + ringDrops[0].load() < kCount && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto got = ShortMessages(0);
    EXPECT_EQ(got.size() + ringDrops[0].load(), kCount);
    uint32_t last = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        const uint32_t seq = ((got[k] >> 8) & 0x7F) | (((got[k] >> 16) & 0x7F) << 7);
        if (k > 0) {
            ASSERT_GT(seq, last) << "reordered at " << k;
        }
        last = seq;
    }
}

KAVO_ON_BOTH_MODELS(Routes);

}  // namespace

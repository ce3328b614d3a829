// What real drivers do that the idealised devices do not: an output that takes one
// client named by both routes, buffers handed back empty while running, long messages
// that take their time on the cable, and devices that keep buffers session after
// session.
#include <algorithm>
#include <thread>

#include "engine/engine_internal.h"
#include "tests/engine_test_support.h"

namespace {

std::vector<uint8_t> SysEx(size_t n, uint8_t seed) { return PatternedSysEx(n, seed); }

class RealDrivers : public EngineOnModels {};

TEST_P(RealDrivers, TwoRoutesIntoOneOutputBothPlayThroughOneOpen) {
    Assign(0, 0, 0);
    Assign(1, 1, 0);
    StartRoutes();
    ASSERT_TRUE(boxes.empty()) << boxes[0].text;
    EXPECT_EQ(routeOut[0], routeOut[1]);
    EXPECT_EQ(dev.OutOpenCount(0), 1);
    WaitForSysExBuffers(0);
    // Route 1 sends a message that is on the cable for about 650 ms (Classic); while
    // it is, route 2's keyboard and the panel's All Sound Off want the same output.
    const auto sysex = SysEx(2000, 1);
    dev.SendSysEx(0, sysex.data(), sysex.size());
    if (GetParam() == midi::DriverModel::Classic) {
        ASSERT_TRUE(WaitFor([this] { return dev.OutPendingCount(0) == 1; }));
    } else {
        ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    }
    for (uint32_t i = 0; i < 100; ++i) {
        dev.SendShort(1, 0x400090 | (i << 8));
        if (i == 50) AllSoundOff();
    }
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1 + 100 + 16, kWait));
    StopRoutes();
    EXPECT_EQ(LongMessages(0), std::vector<std::vector<uint8_t>>{sysex});
    // The device records a long message when its last byte is out: everything sent
    // while it was on its way would stand before it.
    EXPECT_TRUE(dev.OutRecord(0).front().isLong) << "something landed inside the SysEx message";
    const auto shorts = ShortMessages(0);
    // Route 2's hundred keys are still down at the stop: a note-off each, then one sweep.
    ASSERT_EQ(shorts.size(), 100u + 16u + 100u + 16u) << "All Sound Off at stop goes to the one output once";
    for (uint32_t key = 0; key < 100; ++key) ASSERT_EQ(shorts[116 + key], 0x80u | (key << 8));
    std::vector<uint32_t> notes;
    for (uint32_t m : shorts)
        if ((m & 0xF0) == 0x90) notes.push_back(m);
    for (uint32_t i = 0; i < notes.size(); ++i) {
        ASSERT_EQ(notes[i], 0x400090 | (i << 8)) << "route 2 in order";
    }
    EXPECT_EQ(notes.size(), 100u);
    EXPECT_EQ(dev.OutOpenCount(0), 0);
    EXPECT_EQ(dev.OutPreparedCount(0), 0u);
}

TEST_P(RealDrivers, ABufferHandedBackEmptyWhileRunningDoesNotStopSysEx) {
    Assign(0, 0, 0);
    StartRoutes();
    WaitForSysExBuffers(0);
    std::vector<std::vector<uint8_t>> sent;
    for (uint8_t i = 0; i < 40; ++i) {
        // Every third message comes after an empty buffer, some (Classic) after one
        // of their own: 512 bytes fill two buffers exactly.
        if (i % 3 == 0) {
            ASSERT_TRUE(dev.HandBackEmptyBuffer(0));
        }
        sent.push_back(SysEx(i % 2 ? 512 : 40 + i, i));
        dev.SendSysEx(0, sent.back().data(), sent.back().size());
        ASSERT_TRUE(dev.WaitForOutEvents(0, i + 1u, kWait)) << "message " << int(i);
    }
    EXPECT_EQ(LongMessages(0), sent);
    EXPECT_EQ(dev.InDropCounts(0).sysExBytes, 0u);
    // Every buffer went back to the device.
    EXPECT_TRUE(WaitFor([this] { return dev.InQueuedCount(0) == static_cast<size_t>(kSysExBuffers); }));
    StopRoutes();
    EXPECT_EQ(dev.InPreparedCount(0), 0u);
}

TEST_P(RealDrivers, ALongMessageHoldsUpOnlyItsOwnOutput) {
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    // A slow device (yet within the deadline the engine gives a message this long).
    dev.SetOutLongDelay(1, std::chrono::milliseconds(800));
    StartRoutes();
    WaitForSysExBuffers(1);
    const auto sysex = SysEx(300, 3);
    dev.SendSysEx(1, sysex.data(), sysex.size());
    ASSERT_TRUE(WaitFor([this] { return dev.OutPendingCount(1) == 1; }));
    dev.SendShort(0, 0x403C90);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    EXPECT_EQ(dev.OutPendingCount(1), 1u) << "route 1 waited for route 2's long message";
    ASSERT_TRUE(dev.WaitForOutEvents(1, 1, kWait));
    StopRoutes();
    EXPECT_EQ(LongMessages(1), std::vector<std::vector<uint8_t>>{sysex});
}

TEST_P(RealDrivers, AMessageWithoutItsEndLeavesAsItIsAndLetsTheOutputGo) {
    Assign(0, 0, 0);
    StartRoutes();
    WaitForSysExBuffers(0);
    // Exactly one buffer of a message whose F7 never comes: nothing says it ended
    // but the silence after it.
    std::vector<uint8_t> cut = SysEx(kSysExBufferSize, 4);
    cut.back() = 0x11;
    dev.SendSysEx(0, cut.data(), cut.size());
    dev.SendShort(0, 0x403C90);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 2, kWait));
    StopRoutes();
    EXPECT_EQ(LongMessages(0), std::vector<std::vector<uint8_t>>{cut});
    EXPECT_EQ(ShortMessages(0).front(), 0x403C90u);
}

TEST_P(RealDrivers, InputsWedgedOneAfterAnotherLeaveTheirBuffersAndSysExGoesOn) {
    // Each wedged input keeps its buffers; however many there are, the next input
    // gets buffers of its own and forwards SysEx.
    midi::VirtualMidi many(midi::VirtualMidi::Config{{"K1", "K2", "K3", "K4"}, {"S1"}});
    many.SetModel(GetParam());
    midi::SetBackend(&many);
    for (uint32_t in = 0; in < 3; ++in) {
        Assign(0, static_cast<int32_t>(in), 0);
        StartRoutes();
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (many.InQueuedCount(in) < static_cast<size_t>(kSysExBuffers) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        many.SetInHoldsBuffers(in, true);
        StopRoutes();
    }
    EXPECT_EQ(HeldDeviceCount(), 3);
    EXPECT_EQ(BytesLeftWithDevices(), 3 * sizeof(SysExBank));
    for (uint32_t in = 0; in < 3; ++in)
        for (const midi::Header* h : many.InQueuedHeaders(in)) EXPECT_TRUE(IsEngineStorage(h, sizeof *h));
    Assign(0, 3, 0);
    StartRoutes();
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (many.InQueuedCount(3) < static_cast<size_t>(kSysExBuffers) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto sysex = SysEx(600, 5);
    many.SendSysEx(3, sysex.data(), sysex.size());
    ASSERT_TRUE(many.WaitForOutEvents(0, 1, kWait));
    StopRoutes();
    for (const auto& e : many.OutRecord(0)) {
        if (e.isLong) {
            EXPECT_EQ(e.bytes, sysex);
        }
    }
    // Once they let go, the next start closes them and frees what they kept.
    for (uint32_t in = 0; in < 3; ++in) many.SetInHoldsBuffers(in, false);
    StartRoutes();
    StopRoutes();
    EXPECT_EQ(HeldDeviceCount(), 0);
    EXPECT_EQ(BytesLeftWithDevices(), 0u);
    midi::SetBackend(&dev);
}

KAVO_ON_BOTH_MODELS(RealDrivers);

}  // namespace

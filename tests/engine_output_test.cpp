// Long messages, All Sound Off and the tuning tone.
#include <algorithm>
#include <thread>

#include "tests/engine_test_support.h"

namespace {

class Output : public EngineOnModels {
protected:
    void Open(int r) { ASSERT_EQ(midi::OutOpen(&routeOut[r], static_cast<uint32_t>(r)), midi::kNoError); }
    void TearDown() override {
        for (int r = 0; r < 2; ++r) {
            if (routeOut[r]) midi::OutClose(routeOut[r]);
            routeOut[r] = nullptr;
        }
        EngineOnModels::TearDown();
    }
};

const std::vector<uint8_t> kGsReset = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};

TEST_P(Output, AllSoundOffGoesToEveryOpenOutputRouteOneFirst) {
    AllSoundOff();  // nothing open: nothing sent, nothing fails
    EXPECT_EQ(dev.OutRecordSize(0) + dev.OutRecordSize(1), 0u);
    Open(1);
    AllSoundOff();
    EXPECT_EQ(ShortMessages(1), AllSoundOffMessages());
    EXPECT_EQ(dev.OutRecordSize(0), 0u);
    Open(0);
    dev.ClearOutRecord(1);
    AllSoundOff();
    EXPECT_EQ(ShortMessages(0), AllSoundOffMessages());
    EXPECT_EQ(ShortMessages(1), AllSoundOffMessages());
    EXPECT_LE(dev.OutRecord(0).back().timeNs, dev.OutRecord(1).front().timeNs);
}

TEST_P(Output, TuningToneSoundsUntilOkThenAllSoundOff) {
    Open(0);
    Open(1);
    size_t atBox0 = 0, atBox1 = 0;
    onBox = [&] {
        atBox0 = dev.OutRecordSize(0);
        atBox1 = dev.OutRecordSize(1);
    };
    PlayTuningTone();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kMsgTuning);
    EXPECT_EQ(boxes[0].type, platform::kMbOk | platform::kMbIconInformation);
    EXPECT_EQ(atBox0, 16u);  // the tone sounds while the box is up
    EXPECT_EQ(atBox1, 16u);
    std::vector<uint32_t> expect;
    for (uint32_t c = 0; c < 16; ++c) expect.push_back(0x603990 + c);
    const auto aso = AllSoundOffMessages();
    expect.insert(expect.end(), aso.begin(), aso.end());
    EXPECT_EQ(ShortMessages(0), expect);
    EXPECT_EQ(ShortMessages(1), expect);
    EXPECT_LT(dev.OutRecord(0)[15].timeNs, dev.OutRecord(1)[0].timeNs + 1);  // route 1 first
}

TEST_P(Output, LongMessageGoesOnlyToAnOpenRoute) {
    SendLongMessage(0, kGsReset.data(), static_cast<uint32_t>(kGsReset.size()));  // closed
    Open(0);
    SendLongMessage(2, kGsReset.data(), static_cast<uint32_t>(kGsReset.size()));  // no such route
    SendLongMessage(-1, kGsReset.data(), static_cast<uint32_t>(kGsReset.size()));
    SendLongMessage(1, kGsReset.data(), static_cast<uint32_t>(kGsReset.size()));  // closed
    EXPECT_EQ(dev.OutRecordSize(0) + dev.OutRecordSize(1), 0u);
    SendLongMessage(0, kGsReset.data(), static_cast<uint32_t>(kGsReset.size()));
    EXPECT_EQ(LongMessages(0), std::vector<std::vector<uint8_t>>{kGsReset});
    EXPECT_EQ(dev.OutPreparedCount(0), 0u);
}

TEST_P(Output, LateDeviceIsDoneWithTheBytesBeforeTheSendReturns) {
    // The device reads the bytes when it completes; a send that returned early would
    // let the caller's next use of its buffer show up on the wire.
    Open(0);
    dev.SetOutLongDelay(0, std::chrono::milliseconds(30));
    std::vector<uint8_t> buffer = kGsReset;
    SendLongOnRoute(0, buffer.data(), static_cast<uint32_t>(buffer.size()));
    std::fill(buffer.begin(), buffer.end(), 0x55);
    EXPECT_EQ(dev.OutPendingCount(0), 0u);
    EXPECT_EQ(dev.OutPreparedCount(0), 0u);
    EXPECT_EQ(LongMessages(0), std::vector<std::vector<uint8_t>>{kGsReset});
}

TEST_P(Output, StuckDeviceDoesNotHangTheCaller) {
    // A device that would finish after ten seconds: the send gives up after its
    // deadline, has the device hand the header back, and leaves nothing pending.
    Open(0);
    dev.SetOutLongDelay(0, std::chrono::seconds(10));
    SendLongOnRoute(0, kGsReset.data(), static_cast<uint32_t>(kGsReset.size()));
    EXPECT_EQ(dev.OutPendingCount(0), 0u);
    EXPECT_EQ(dev.OutPreparedCount(0), 0u);
    // The output still works afterwards.
    dev.SetOutLongDelay(0, std::chrono::microseconds(0));
    SendLongOnRoute(0, kGsReset.data(), static_cast<uint32_t>(kGsReset.size()));
    EXPECT_EQ(LongMessages(0).back(), kGsReset);
}

TEST_P(Output, ResetRacingForwardedSysExNeverInterleaves) {
    // The worker forwards long SysEx messages while the panel sends GS Reset to the
    // same output: each long message arrives whole, the reset before a message's F0
    // or after its F7, never between.
    Assign(0, 0, 0);
    StartRoutes();
    dev.SetOutLongDelay(0, std::chrono::microseconds(300));
    std::vector<uint8_t> sysex(256 * 6);
    for (size_t i = 0; i < sysex.size(); ++i) sysex[i] = static_cast<uint8_t>(i / 256 + 1);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    constexpr int kResets = 20, kSysEx = 10;
    WaitForSysExBuffers(0);
    std::thread panel([] {
        for (int i = 0; i < kResets; ++i) SendLongMessage(0, kGsReset.data(), static_cast<uint32_t>(kGsReset.size()));
    });
    for (size_t i = 0; i < kSysEx; ++i) {
        // One message at a time, as at MIDI speed: sixteen buffers hold 4096 bytes.
        dev.SendSysEx(0, sysex.data(), sysex.size());
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        auto forwarded = [&] {
            const auto all = LongMessages(0);
            return static_cast<size_t>(std::count(all.begin(), all.end(), sysex));
        };
        while (forwarded() < i + 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    panel.join();
    ASSERT_TRUE(dev.WaitForOutEvents(0, kResets + kSysEx, kWait))
        << dev.OutRecordSize(0) << " events, " << dev.InDropCounts(0).sysExBytes << " bytes dropped";
    StopRoutes();
    int resets = 0, forwarded = 0;
    for (const auto& m : LongMessages(0)) {
        if (m == kGsReset) ++resets;
        else if (m == sysex) ++forwarded;
        else ADD_FAILURE() << "a long message of " << m.size() << " bytes that nobody sent";
    }
    EXPECT_EQ(resets, kResets);
    EXPECT_EQ(forwarded, kSysEx);
    EXPECT_EQ(dev.InDropCounts(0).sysExBytes, 0u);
}

KAVO_ON_BOTH_MODELS(Output);

}  // namespace

// SysEx that comes faster than its output carries it, and SysEx whose bytes were lost
// on the way: a bank of messages arrives whole and in order at a cable's pace, and a
// message that was cut or begins without F0 never reaches an output.
#include <algorithm>
#include <thread>

#include "engine/engine_internal.h"
#include "tests/engine_test_support.h"

namespace {

std::vector<uint8_t> SysEx(size_t n, uint8_t seed) { return PatternedSysEx(n, seed); }

class SysExBacklog : public EngineOnModels {
protected:
    void SetUp() override {
        EngineOnModels::SetUp();
        for (int r = 0; r < 2; ++r) backlogDrops[r] = cutSysExDrops[r] = 0;
    }

    // Feeds one message at a pace the input's buffers keep up with, as a port that
    // waits for its device: a kilobyte at a time, each once the engine has queued
    // every buffer again. An engine that stops taking buffers stalls this feed.
    bool FeedPaced(const std::vector<uint8_t>& m) {
        constexpr size_t kChunk = 1024;
        for (size_t at = 0; at < m.size(); at += kChunk) {
            const size_t n = std::min(kChunk, m.size() - at);
            if (at + n == m.size()) dev.SendSysEx(0, m.data() + at, n);
            else dev.SendSysExPart(0, m.data() + at, n);
            if (!WaitFor([this] {
                    return dev.InUndeliveredCount(0) == 0 && dev.InQueuedCount(0) == static_cast<size_t>(kSysExBuffers);
                }))
                return false;
        }
        return true;
    }

    // A bank at cable pace takes seconds; a loaded machine may need more.
    template <class F>
    static bool WaitFor(F done) {
        return EngineOnModels::WaitFor(done, std::chrono::seconds(20));
    }
};

// A librarian sends a bank back to back, much faster than the synth's cable takes it:
// far more than the input's sixteen buffers hold waits for the output. Every message
// arrives whole and in order, and a panel reset sent meanwhile lands between two of
// them, whole.
TEST_P(SysExBacklog, ABankFasterThanTheCableArrivesWholeAndInOrder) {
    // Cable speed on both models (a classic output is that already): 9 000 bytes take
    // about 2.9 s, the input's buffers hold 4 096.
    if (GetParam() == midi::DriverModel::Ideal) dev.SetOutLongDelay(0, std::chrono::milliseconds(150));
    Assign(0, 0, 0);
    StartRoutes();
    WaitForSysExBuffers(0);
    std::vector<std::vector<uint8_t>> sent;
    for (uint8_t i = 0; i < 12; ++i) {
        sent.push_back(SysEx(i % 3 == 0 ? 1536 : 500 + i, i));
        ASSERT_TRUE(FeedPaced(sent.back())) << "the input ran out of buffers at message " << int(i);
    }
    const std::vector<uint8_t> reset = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    SendLongMessage(0, reset.data(), static_cast<uint32_t>(reset.size()));
    ASSERT_TRUE(WaitFor([&] { return LongMessages(0).size() >= sent.size() + 1; }));
    StopRoutes();
    auto got = LongMessages(0);
    const auto at = std::find(got.begin(), got.end(), reset);
    ASSERT_NE(at, got.end()) << "the panel's reset arrived whole";
    got.erase(at);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(dev.InDropCounts(0).sysExBytes, 0u) << "the input never ran out of buffers";
    EXPECT_EQ(backlogDrops[0].load(), 0u);
}

// Beyond its backlog a route drops whole messages, counts them, and forwards the
// rest whole and in order.
TEST_P(SysExBacklog, BeyondTheBacklogWholeMessagesAreDroppedAndCounted) {
    dev.SetOutLongDelay(0, std::chrono::milliseconds(1));  // not the cable: 60 kB take 19 s there
    dev.SetOutHoldsLong(0, true);                         // nothing leaves until it is let go
    Assign(0, 0, 0);
    StartRoutes();
    WaitForSysExBuffers(0);
    const auto big = SysEx(60000, 1);
    size_t sent = 0;
    for (uint8_t i = 0; i < 24; ++i) {
        ASSERT_TRUE(FeedPaced(big));
        ++sent;
    }
    ASSERT_TRUE(WaitFor([] { return backlogDrops[0].load() > 0; }));
    dev.SetOutHoldsLong(0, false);
    const size_t dropped = backlogDrops[0].load();
    ASSERT_TRUE(WaitFor([&] { return LongMessages(0).size() == sent - dropped; }));
    StopRoutes();
    EXPECT_EQ(dropped, sent - kSysExBacklogBytes / big.size() - 1) << "one in flight, the rest as many as fit";
    for (const auto& m : LongMessages(0)) ASSERT_EQ(m, big);
    EXPECT_EQ(dev.InDropCounts(0).sysExBytes, 0u);
}

// What a route does with SysEx bytes that lost their beginning or their end: after a
// (re)open, a sleep or an unplug, the input hands over the rest of a dump (bytes
// without F0); a new F0 before an F7 says bytes of the message before it were lost.
// Neither is forwarded; the next whole message passes untouched.
TEST_P(SysExBacklog, CutAndHeadlessMessagesNeverReachTheOutput) {
    struct Case {
        const char* what;
        std::vector<std::vector<uint8_t>> fed;  // as the device hands them over
        uint32_t dropped;
        std::vector<std::vector<uint8_t>> expected;
    };
    const auto whole = SysEx(300, 9);
    auto noEnd = SysEx(400, 3);
    noEnd.pop_back();
    std::vector<uint8_t> rest(700, 0x15);  // a dump's middle and end
    rest.back() = 0xF7;
    const std::vector<uint8_t> inOneBuffer = {0xF0, 0x01, 0x02, 0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    const Case cases[] = {
        {"a short rest first", {{0x10, 0x20, 0x30, 0xF7}, whole}, 1, {whole}},
        {"a rest over several buffers", {rest, whole}, 1, {whole}},
        {"a message whose end never came", {noEnd, whole}, 1, {whole}},
        {"a rest, then a cut message", {rest, noEnd, whole}, 2, {whole}},
        {"a message cut inside one buffer", {inOneBuffer, whole}, 1, {{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, whole}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cutSysExDrops[0] = 0;
        dev.ClearOutRecord(0);
        Assign(0, 0, 0);
        StartRoutes();
        WaitForSysExBuffers(0);
        for (const auto& bytes : c.fed) {
            // Parts stay in the buffer they fill, as a driver keeps the one it is
            // filling until the message ends; a whole message hands it back.
            if (bytes.back() == 0xF7) dev.SendSysEx(0, bytes.data(), bytes.size());
            else dev.SendSysExPart(0, bytes.data(), bytes.size());
        }
        ASSERT_TRUE(dev.WaitForOutEvents(0, c.expected.size(), kWait));
        dev.SendShort(0, 0x403C90);  // after the message: whatever came before is out
        ASSERT_TRUE(WaitFor([this] { return !ShortMessages(0).empty(); }));
        StopRoutes();
        EXPECT_EQ(LongMessages(0), c.expected);
        EXPECT_EQ(cutSysExDrops[0].load(), c.dropped);
    }
}

// A long message whose done flag the driver sets a moment before it lets go of the
// header is polled again, not taken for a wedged device: the output goes on taking
// messages.
TEST_P(SysExBacklog, ADoneHeaderThatIsStillPlayingIsPolledAgain) {
    Assign(0, 0, 0);
    StartRoutes();
    WaitForSysExBuffers(0);
    dev.SetOutUnprepareStillPlaying(0, 3);
    const auto first = SysEx(100, 1);
    dev.SendSysEx(0, first.data(), first.size());
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    const auto second = SysEx(120, 2);
    dev.SendSysEx(0, second.data(), second.size());
    dev.SendShort(0, 0x403C90);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 3, kWait));
    StopRoutes();
    EXPECT_EQ(LongMessages(0), (std::vector<std::vector<uint8_t>>{first, second}));
    EXPECT_EQ(BytesLeftWithDevices(), 0u) << "nothing parked";
}

KAVO_ON_BOTH_MODELS(SysExBacklog);

}  // namespace

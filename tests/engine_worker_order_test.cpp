// What one route's SysEx work may hold up in the worker: its own route's short
// messages (they follow it), never the other route's.
#include <condition_variable>
#include <mutex>

#include "engine_test_support.h"

namespace {

// A device call that, once armed, stops the thread that makes it until the test opens
// it again, as a driver call blocked behind a busy device would.
class Gate {
public:
    void Arm() {
        std::lock_guard<std::mutex> g(mu_);
        armed_ = true;
    }
    // Called by the device; blocks while armed, the first time only.
    void Pass() {
        std::unique_lock<std::mutex> lk(mu_);
        if (!armed_) return;
        armed_ = false;
        entered_ = true;
        cv_.notify_all();
        cv_.wait(lk, [this] { return open_; });
    }
    bool WaitEntered(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, timeout, [this] { return entered_; });
    }
    void Open() {
        std::lock_guard<std::mutex> g(mu_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool armed_ = false, entered_ = false, open_ = false;
};

// Gates the worker's queueing of a buffer on each route's input.
class GatedMidi : public midi::VirtualMidi {
public:
    using VirtualMidi::VirtualMidi;
    midi::Result InAddBuffer(midi::InHandle h, midi::Header* hdr, uint32_t size) override {
        if (h == routeIn[0]) in1.Pass();
        if (h == routeIn[1]) in2.Pass();
        return VirtualMidi::InAddBuffer(h, hdr, size);
    }
    Gate in1, in2;
};

class WorkerOrder : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        midi::SetBackend(&gated);
    }
    void TearDown() override {
        gated.in1.Open();
        gated.in2.Open();
        EngineFixture::TearDown();
    }
    std::vector<uint32_t> ShortMessagesOf(uint32_t out) const {
        std::vector<uint32_t> v;
        for (const auto& e : gated.OutRecord(out))
            if (!e.isLong) v.push_back(e.shortMsg);
        return v;
    }
    // Waits until `done` holds; false if it does not within kWait.
    template <class Done>
    static bool Until(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return done();
    }
    GatedMidi gated{midi::VirtualMidi::Config{{"Key A", "Key B"}, {"Synth A", "Synth B"}}};
};

// The worker is held giving route 1's first SysEx buffer back to its input (the start
// of a message, which leaves only once it ends) while route 2's SysEx buffer comes back
// and a short message enters route 1's ring; giving route 2's buffer back then holds
// the worker again. The short message must be out by then: it waits for its own
// route's SysEx work, not for the other's.
TEST_F(WorkerOrder, AShortMessageDoesNotWaitForTheOtherRoutesSysEx) {
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    StartRoutes();
    ASSERT_TRUE(RouteOpen(0) && RouteOpen(1));
    const auto allQueued = [this](uint32_t in) { return gated.InQueuedCount(in) == static_cast<size_t>(kSysExBuffers); };
    ASSERT_TRUE(Until([&] { return allQueued(0) && allQueued(1); }));
    gated.in1.Arm();
    gated.in2.Arm();
    std::vector<uint8_t> start(kSysExBufferSize, 0x11);  // fills one buffer, no F7 yet
    start[0] = 0xF0;
    ASSERT_TRUE(gated.SendSysExPart(0, start.data(), start.size()));
    ASSERT_TRUE(gated.in1.WaitEntered(kWait));
    const uint8_t sysEx2[] = {0xF0, 0x02, 0xF7};
    ASSERT_TRUE(gated.SendSysEx(1, sysEx2, sizeof sysEx2));
    ASSERT_TRUE(Until([&] { return !allQueued(1); }));
    const uint32_t note = 0x7F3C90;
    const uint32_t ringBefore = ringWrite[0].load();
    ASSERT_TRUE(gated.SendShort(0, note));
    ASSERT_TRUE(Until([ringBefore] { return ringWrite[0].load() != ringBefore; }));

    gated.in1.Open();
    ASSERT_TRUE(gated.in2.WaitEntered(kWait));
    ASSERT_TRUE(gated.WaitForOutEvents(0, 1, kWait));
    EXPECT_EQ(ShortMessagesOf(0), std::vector<uint32_t>{note});
    EXPECT_EQ(gated.OutRecordSize(1), 0u);  // route 2's SysEx waits for its buffer

    gated.in2.Open();
    ASSERT_TRUE(gated.WaitForOutEvents(1, 1, kWait));
    EXPECT_EQ(gated.OutRecord(1)[0].bytes, std::vector<uint8_t>(sysEx2, sysEx2 + sizeof sysEx2));
}

}  // namespace

#include "bench/engine_rows.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "app/settings_model.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "platform/virtual/virtual_midi.h"

namespace bench {

namespace {

// 20 bits: the data bytes (14), the channel (4) and the kind of message (2: key
// pressure, controller, channel pressure, pitch bend; none of them is transformed).
const uint32_t kKinds[4] = {0xA0, 0xB0, 0xD0, 0xE0};
uint32_t Encode(uint32_t seq) {
    return (kKinds[(seq >> 18) & 3] | ((seq >> 14) & 0x0F)) | ((seq & 0x7F) << 8) | (((seq >> 7) & 0x7F) << 16);
}
uint32_t Decode(uint32_t m) {
    const uint32_t kind = ((m >> 4) & 0x0F) == 0xA ? 0 : ((m >> 4) & 0x0F) == 0xB ? 1 : ((m >> 4) & 0x0F) == 0xD ? 2 : 3;
    return (kind << 18) | ((m & 0x0F) << 14) | ((m >> 8) & 0x7F) | (((m >> 16) & 0x7F) << 7);
}

// StopRoutes sends All Sound Off on all sixteen channels of each open output.
constexpr size_t kStopMessages = 16;

// The devices and settings one row runs on. The engine keeps pointers to both (the
// backend, the bound settings), so they are handed to it here and taken back before
// they go.
class Session {
public:
    explicit Session(int routes) : dev_(midi::VirtualMidi::Config{{"In A", "In B"}, {"Out A", "Out B"}}) {
        midi::SetBackend(&dev_);
        for (int r = 0; r < routes; ++r) settings_.routeSettings[r] = RouteSettings{1, r, r, 0};
        settings_.CopyStoredToActive();
        SeedEngine(settings_);
    }
    ~Session() {
        BindEngineSettings(nullptr);
        midi::SetBackend(nullptr);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    midi::VirtualMidi& dev() { return dev_; }
    KavoSettings& settings() { return settings_; }

private:
    midi::VirtualMidi dev_;
    KavoSettings settings_;
};

// Waits until route r's output holds `count` events, or until it has stopped growing.
// Where a stage up to the engine's callback is slower than the feeders (under Wine
// each pulse of the worker's wake event is a call into the Wine server), messages are
// still queued in the virtual input when feeding ends; stopping then would drop them
// and count as lost what is only late. A record that stays still for a few seconds is
// lost for good.
void WaitForOutput(const midi::VirtualMidi& dev, uint32_t r, size_t count) {
    constexpr int kStillSeconds = 3;
    size_t last = dev.OutRecordSize(r);
    for (int still = 0; still < kStillSeconds;) {
        if (dev.WaitForOutEvents(r, count, std::chrono::seconds(1))) return;
        const size_t now = dev.OutRecordSize(r);
        still = now == last ? still + 1 : 0;
        last = now;
    }
}

// Reads route r's record against its callback log; returns the stamp of its last
// forwarded message (0 if none).
int64_t Collect(midi::VirtualMidi& dev, uint32_t r, size_t count, LatencyRun& run, std::vector<double>& latencyUs) {
    const auto calls = dev.CallbackLog(r);
    const auto record = dev.OutRecord(r);
    run.sent += count;
    long last = -1;
    int64_t lastNs = 0;
    const size_t ours = record.size() >= kStopMessages ? record.size() - kStopMessages : 0;
    for (size_t k = 0; k < ours; ++k) {
        const auto& e = record[k];
        const uint32_t seq = Decode(e.shortMsg);
        if (static_cast<long>(seq) <= last) ++run.reordered;
        last = static_cast<long>(seq);
        ++run.received;
        lastNs = e.timeNs;
        if (seq < calls.size()) latencyUs.push_back(static_cast<double>(e.timeNs - calls[seq]) / 1000.0);
    }
    return lastNs;
}

double SecondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

}  // namespace

LatencyRun RunEngine(int routes, double rate, size_t count, size_t burst) {
    Session session(routes);
    midi::VirtualMidi& dev = session.dev();
    for (int r = 0; r < routes; ++r) {
        dev.EnableCallbackLog(static_cast<uint32_t>(r), count);
        // Recording must not allocate while the row is timed.
        dev.ReserveOutRecord(static_cast<uint32_t>(r), count + 64, 0);
    }
    // The engine counts drops for its whole life, not per start.
    uint64_t dropsBefore = 0;
    for (int r = 0; r < routes; ++r) dropsBefore += ringDrops[r].load();
    StartRoutes();
    const int64_t startNs = NowNs();
    std::vector<std::thread> feeders;
    for (int r = 0; r < routes; ++r) {
        feeders.emplace_back([&dev, r, count, rate, burst] {
            Pace(count, rate, burst,
                 [&dev, r](size_t i) { dev.SendShort(static_cast<uint32_t>(r), Encode(static_cast<uint32_t>(i))); });
        });
    }
    for (auto& t : feeders) t.join();
    for (int r = 0; r < routes; ++r) WaitForOutput(dev, static_cast<uint32_t>(r), count);
    LatencyRun run;
    for (int r = 0; r < routes; ++r) run.ringDrops += ringDrops[r].load();
    run.ringDrops -= dropsBefore;
    StopRoutes();

    std::vector<double> latencyUs;
    latencyUs.reserve(count * static_cast<size_t>(routes));
    int64_t lastNs = 0;
    for (int r = 0; r < routes; ++r)
        lastNs = std::max(lastNs, Collect(dev, static_cast<uint32_t>(r), count, run, latencyUs));
    run.lost = run.sent - run.received;
    run.throughput = Throughput(run.received / static_cast<size_t>(routes), startNs, lastNs, rate, burst);
    run.latency = Summarise(latencyUs);
    return run;
}

MetronomeRun RunMetronome(int tempo, size_t intervals) {
    MetronomeRun res;
    res.tempo = tempo;
    res.requested = intervals;
    res.nominalMs = 60000.0 / tempo;
    Session session(1);
    midi::VirtualMidi& dev = session.dev();
    KavoSettings& s = session.settings();
    s.mTempo = tempo;
    s.Port = 0;
    const uint32_t channel = static_cast<uint32_t>(s.mChannel.load());
    const uint32_t bellOff = (0x80 | channel) | (static_cast<uint32_t>(s.mBell.load()) << 8);
    const size_t beats = intervals + 1;
    const size_t messagesPerBeat = 4;  // bell off, bell on, click off, click on
    dev.ReserveOutRecord(0, beats * messagesPerBeat + 64, 0);
    metronomeOn = 1;
    beatIndex = 0;
    // The first beat at once rather than one interval after a previous row's last.
    lastTickTime = platform::TickCount() - static_cast<uint32_t>(60000 / tempo) - 1;
    StartRoutes();
    // The worker turns precise waiting on before its first wait, so it is on by the
    // time the first beat is out.
    dev.WaitForOutEvents(0, messagesPerBeat, std::chrono::seconds(5));
    res.kind = wakeEvent.Precise();
    const auto wholeRun = std::chrono::milliseconds(static_cast<long long>(res.nominalMs * 1.1 * beats) + 5000);
    dev.WaitForOutEvents(0, beats * messagesPerBeat, wholeRun);
    StopRoutes();
    metronomeOn = 0;

    std::vector<int64_t> beatNs;
    for (const auto& e : dev.OutRecord(0))
        if (!e.isLong && (e.shortMsg & 0xFFFF) == bellOff) beatNs.push_back(e.timeNs);
    std::vector<double> ms;
    for (size_t i = 1; i < beatNs.size() && i <= intervals; ++i)
        ms.push_back(static_cast<double>(beatNs[i] - beatNs[i - 1]) / 1e6);
    res.intervals = ms.size();
    if (ms.empty()) return res;
    double sum = 0;
    for (double v : ms) sum += v;
    res.meanExcessMs = sum / static_cast<double>(ms.size()) - res.nominalMs;
    res.medianMs = Median(ms);
    std::vector<double> dev2;
    for (double v : ms) dev2.push_back(std::fabs(v - res.medianMs));
    std::sort(dev2.begin(), dev2.end());
    res.jitterP99Ms = Pct(dev2, 99);
    std::sort(ms.begin(), ms.end());
    res.minMs = ms.front();
    res.maxMs = ms.back();
    return res;
}

IdleRun MeasureIdle(bool metronome, double seconds) {
    IdleRun res;
    Session session(1);
    metronomeOn = metronome ? 1 : 0;
    beatIndex = 0;
    StartRoutes();
    // Past the start-up, whose first waits are not what an idle engine does.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t wakes0 = workerWakeups.load();
    const uint64_t timeouts0 = workerTimeouts.load();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const uint64_t wakes1 = workerWakeups.load();
    const uint64_t timeouts1 = workerTimeouts.load();
    const double secs = SecondsSince(t0);
    res.kind = wakeEvent.Precise();
    StopRoutes();
    metronomeOn = 0;
    res.wakeupsPerSecond = static_cast<double>(wakes1 - wakes0) / secs;
    res.timeoutsPerSecond = static_cast<double>(timeouts1 - timeouts0) / secs;
    return res;
}

}  // namespace bench

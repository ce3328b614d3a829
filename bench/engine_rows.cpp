#include "bench/engine_rows.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "settings/settings_model.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "platform/virtual/virtual_midi.h"

namespace bench {

namespace {

// 20 bits: the data bytes (14), the channel (4) and the kind of message (2: key
// pressure, controller, channel pressure, pitch bend; none of them is transformed).
// Where both routes send to one output the top bit is the route, so route 1's
// messages are key pressure and controllers and route 2's channel pressure and pitch
// bend.
const uint32_t kKinds[4] = {0xA0, 0xB0, 0xD0, 0xE0};
uint32_t Encode(uint32_t seq) {
    return (kKinds[(seq >> 18) & 3] | ((seq >> 14) & 0x0F)) | ((seq & 0x7F) << 8) | (((seq >> 7) & 0x7F) << 16);
}
uint32_t Decode(uint32_t m) {
    const uint32_t kind = ((m >> 4) & 0x0F) == 0xA ? 0 : ((m >> 4) & 0x0F) == 0xB ? 1 : ((m >> 4) & 0x0F) == 0xD ? 2 : 3;
    return (kind << 18) | ((m & 0x0F) << 14) | ((m >> 8) & 0x7F) | (((m >> 16) & 0x7F) << 7);
}
constexpr uint32_t kRouteShift = 19;
constexpr uint32_t kTaggedSeqMask = (1u << kRouteShift) - 1;

// Route r's sequence number of message m, or -1 when m is none of the messages fed:
// not one of the four kinds, or past the `count` fed. A stop's pedal releases and All
// Sound Off are controllers too, so the record is read only up to where the stop began.
long SeqOf(uint32_t m, int r, bool tagged, size_t count) {
    const uint32_t kind = (m >> 4) & 0x0F;
    if ((m >> 24) != 0 || (kind != 0xA && kind != 0xB && kind != 0xD && kind != 0xE)) return -1;
    uint32_t seq = Decode(m);
    if (tagged) {
        if ((seq >> kRouteShift) != static_cast<uint32_t>(r)) return -1;
        seq &= kTaggedSeqMask;
    }
    return seq < count ? static_cast<long>(seq) : -1;
}

// The stage stamps of one row, by route and sequence number: the ring's from the
// callbacks' threads, the worker's and the send's from the worker; read once the row
// has stopped (those threads done). Made before the row is timed.
struct StageLog {
    bool tagged = false;
    // By message: the worker's last wait before its send began (slept) and ended (awake).
    std::vector<int64_t> ring[2], slept[2], awake[2], send[2];
    int64_t lastSleep = 0, lastAwake = 0;  // the worker's alone

    void Reset(size_t count, bool tag) {
        tagged = tag;
        lastSleep = lastAwake = 0;
        for (int r = 0; r < 2; ++r)
            for (auto* v : {&ring[r], &slept[r], &awake[r], &send[r]}) v->assign(count, 0);
    }
    void Stamp(EngineStage stage, int r, uint32_t m) {
        const int64_t now = NowNs();
        if (stage == EngineStage::Sleep || stage == EngineStage::Awake) {
            (stage == EngineStage::Sleep ? lastSleep : lastAwake) = now;
            return;
        }
        const long seq = SeqOf(m, r, tagged, ring[0].size());
        if (seq < 0 || r < 0 || r > 1) return;
        if (stage == EngineStage::Ring) {
            ring[r][seq] = now;
        } else {
            send[r][seq] = now;
            slept[r][seq] = lastSleep;
            awake[r][seq] = lastAwake;
        }
    }
};
StageLog stageLog;

void StampHook(EngineStage stage, int r, uint32_t m) { stageLog.Stamp(stage, r, m); }

using Stages = std::array<double, kStages>;

// The slowest 0.1 % of `us` (before Summarise sorts it) and their stages.
StageBreakdown Slowest(const std::vector<double>& us, const std::vector<Stages>& stages) {
    StageBreakdown b;
    std::vector<double> sorted = us;
    std::sort(sorted.begin(), sorted.end());
    const double threshold = Pct(sorted, 99.9);
    for (size_t k = 0; k < us.size() && k < stages.size(); ++k) {
        if (us[k] < threshold || stages[k][0] < 0) continue;
        ++b.slow;
        int most = 0;
        for (int s = 0; s < kStages; ++s) {
            b.sumUs[s] += stages[k][s];
            if (stages[k][s] > stages[k][most]) most = s;
        }
        ++b.dominant[most];
    }
    return b;
}

// The devices and settings one row runs on. The engine keeps pointers to both (the
// backend, the bound settings), so they are handed to it here and taken back before
// they go.
class Session {
public:
    explicit Session(const EngineSetup& setup) : dev_(Devices(setup.model)) {
        midi::SetBackend(&dev_);
        for (int r = 0; r < setup.routes; ++r) settings_.routeSettings[r] = RouteSettings{1, r, setup.out[r], 0};
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
    static midi::VirtualMidi::Config Devices(midi::DriverModel model) {
        midi::VirtualMidi::Config c{{"In A", "In B"}, {"Out A", "Out B"}};
        c.model = model;
        return c;
    }

    midi::VirtualMidi dev_;
    KavoSettings settings_;
};

// Waits until output o's record holds `count` events, or until it has stopped growing
// for `stillSeconds`. Where a stage up to the engine's callback is slower than the
// feeders (under Wine each pulse of the worker's wake event is a call into the Wine
// server), messages are still queued in the virtual input when feeding ends; stopping
// then would drop them and count as lost what is only late. A record that stays still
// for a few seconds is lost for good.
void WaitForOutput(const midi::VirtualMidi& dev, uint32_t o, size_t count, int stillSeconds = 3) {
    size_t last = dev.OutRecordSize(o);
    for (int still = 0; still < stillSeconds;) {
        if (dev.WaitForOutEvents(o, count, std::chrono::seconds(1))) return;
        const size_t now = dev.OutRecordSize(o);
        still = now == last ? still + 1 : 0;
        last = now;
    }
}

// Reads route r's messages in the first `ours` events of its output's record (those
// recorded before the stop began) against its input's callback log and the stage
// stamps; only messages fed count. With `tagged`, the record holds both routes'
// messages and only those that carry route r are its. Adds each message's latency and
// stages to us and stages. Returns the stamp of its last forwarded message (0 if none).
int64_t Collect(const std::vector<midi::VirtualMidi::OutEvent>& record, size_t ours, int r, bool tagged, size_t count,
                const std::vector<int64_t>& calls, LatencyRun& run, std::vector<double>& us,
                std::vector<Stages>& stages) {
    long last = -1;
    int64_t lastNs = 0;
    for (size_t k = 0; k < ours && k < record.size(); ++k) {
        const auto& e = record[k];
        if (e.isLong) continue;
        const long seq = SeqOf(e.shortMsg, r, tagged, count);
        if (seq < 0) continue;
        if (seq <= last) ++run.reordered;
        last = seq;
        ++run.received;
        lastNs = e.timeNs;
        if (static_cast<size_t>(seq) >= calls.size()) continue;
        us.push_back(static_cast<double>(e.timeNs - calls[seq]) / 1000.0);
        // The message waited for the worker to finish other work from its store until
        // the worker's wait began, and for the wake-up from then (or from the store)
        // until it was back; none of either when it came while the worker was awake.
        const int64_t ring = stageLog.ring[r][seq], send = stageLog.send[r][seq];
        const int64_t awake = std::max(ring, stageLog.awake[r][seq]);
        const int64_t waits = std::min(awake, std::max(ring, stageLog.slept[r][seq]));
        Stages st = {-1, 0, 0, 0, 0};  // -1: a stamp is missing
        auto span = [](int64_t from, int64_t to) { return static_cast<double>(to - from) / 1000.0; };
        if (ring && send)
            st = {span(calls[seq], ring), span(ring, waits), span(waits, awake), span(awake, send),
                  span(send, e.timeNs)};
        stages.push_back(st);
    }
    return lastNs;
}

// Route r's run from its part of the record, its latencies and stages added to the
// row's (all, allStages) too.
LatencyRun RouteRun(const std::vector<midi::VirtualMidi::OutEvent>& record, size_t ours, int r, bool tagged,
                    size_t count, const std::vector<int64_t>& calls, int64_t startNs, double rate, size_t burst,
                    std::vector<double>& all, std::vector<Stages>& allStages, int64_t& lastNs) {
    LatencyRun run;
    std::vector<double> us;
    std::vector<Stages> stages;
    us.reserve(count);
    stages.reserve(count);
    const int64_t last = Collect(record, ours, r, tagged, count, calls, run, us, stages);
    run.sent = count;
    run.lost = static_cast<int64_t>(run.sent) - static_cast<int64_t>(run.received);
    run.throughput = Throughput(run.received, startNs, last, rate, burst);
    run.stages = Slowest(us, stages);
    all.insert(all.end(), us.begin(), us.end());
    allStages.insert(allStages.end(), stages.begin(), stages.end());
    lastNs = std::max(lastNs, last);
    run.latency = Summarise(us);
    return run;
}

// The n-th SysEx message fed: F0, its number in two data bytes, a pattern that differs
// from message to message, F7.
std::vector<uint8_t> SysExMessage(size_t n) {
    std::vector<uint8_t> m(kSysExBytes);
    m.front() = 0xF0;
    m[1] = static_cast<uint8_t>(n & 0x7F);
    m[2] = static_cast<uint8_t>((n >> 7) & 0x7F);
    for (size_t k = 3; k + 1 < m.size(); ++k) m[k] = static_cast<uint8_t>((n * 7 + k) & 0x7F);
    m.back() = 0xF7;
    return m;
}

// How many of the messages fed reached output o whole, each counted once.
size_t CountWhole(const midi::VirtualMidi& dev, uint32_t o, const std::vector<std::vector<uint8_t>>& fed) {
    std::vector<bool> seen(fed.size(), false);
    size_t whole = 0;
    for (const auto& e : dev.OutRecord(o)) {
        if (!e.isLong || e.bytes.size() < 3) continue;
        const size_t n = e.bytes[1] | (static_cast<size_t>(e.bytes[2]) << 7);
        if (n >= fed.size() || seen[n] || e.bytes != fed[n]) continue;
        seen[n] = true;
        ++whole;
    }
    return whole;
}

// The worker queues every SysEx buffer of an input once it runs; SysEx fed before
// that finds no buffer and is dropped.
void WaitForSysExBuffers(const midi::VirtualMidi& dev, int routes) {
    const auto until = Clock::now() + std::chrono::seconds(2);
    for (int r = 0; r < routes; ++r)
        while (dev.InQueuedCount(static_cast<uint32_t>(r)) < static_cast<size_t>(kSysExBuffers) && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

double SecondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

}  // namespace

EngineRun RunEngine(const EngineSetup& setup, double rate, size_t count, size_t burst) {
    Session session(setup);
    midi::VirtualMidi& dev = session.dev();
    const int routes = setup.routes;
    const bool tagged = routes == 2 && setup.out[0] == setup.out[1];
    bool fed[2] = {true, routes == 2 && setup.feedRoute2};
    const bool sysEx = routes == 2 && setup.sysEx;
    int feeding = 0;
    for (int r = 0; r < routes; ++r) {
        if (!fed[r]) continue;
        ++feeding;
        dev.EnableCallbackLog(static_cast<uint32_t>(r), count);
    }
    // Recording must not allocate while the row is timed.
    for (uint32_t o = 0; o < 2; ++o) dev.ReserveOutRecord(o, count * static_cast<size_t>(feeding) + 64, 0);
    // The SysEx messages of the whole row, made before it is timed: one every period
    // for as long as route 1 is fed.
    std::vector<std::vector<uint8_t>> sysExMessages;
    if (sysEx) {
        const size_t n = std::max<size_t>(1, static_cast<size_t>(static_cast<double>(count) / rate * 1000.0 /
                                                                  kSysExPeriodMs));
        for (size_t k = 0; k < n; ++k) sysExMessages.push_back(SysExMessage(k));
        dev.ReserveOutRecord(static_cast<uint32_t>(setup.out[1]), count * static_cast<size_t>(feeding) + n + 64,
                             n * kSysExBytes);
    }
    // The engine counts drops for its whole life, not per start.
    uint64_t dropsBefore[2] = {ringDrops[0].load(), ringDrops[1].load()};
    const uint64_t sysExDropsBefore = dev.InDropCounts(1).sysExBytes;
    stageLog.Reset(count, tagged);
    SetStageHook(StampHook);
    StartRoutes();
    WaitForSysExBuffers(dev, routes);
    const int64_t startNs = NowNs();
    std::vector<std::thread> feeders;
    for (int r = 0; r < routes; ++r) {
        if (!fed[r]) continue;
        const uint32_t tag = tagged ? static_cast<uint32_t>(r) << kRouteShift : 0;
        feeders.emplace_back([&dev, r, tag, count, rate, burst] {
            Pace(count, rate, burst, [&dev, r, tag](size_t i) {
                dev.SendShort(static_cast<uint32_t>(r), Encode(tag | static_cast<uint32_t>(i)));
            });
        });
    }
    if (sysEx) {
        feeders.emplace_back([&dev, &sysExMessages] {
            Pace(sysExMessages.size(), 1000.0 / kSysExPeriodMs, 1, [&dev, &sysExMessages](size_t k) {
                dev.SendSysEx(1, sysExMessages[k].data(), sysExMessages[k].size());
            });
        });
    }
    for (auto& t : feeders) t.join();
    size_t expected[2] = {0, 0};
    for (int r = 0; r < routes; ++r)
        if (fed[r]) expected[setup.out[r]] += count;
    for (uint32_t o = 0; o < 2; ++o)
        if (expected[o] > 0) WaitForOutput(dev, o, expected[o]);
    // A SysEx message takes a third of a second on a cable, and an unfinished one is
    // sent on after half a second without bytes; two still seconds leave no doubt.
    if (sysEx) WaitForOutput(dev, static_cast<uint32_t>(setup.out[1]), sysExMessages.size(), 2);
    EngineRun res;
    for (int r = 0; r < routes; ++r) res.route[r].ringDrops = ringDrops[r].load() - dropsBefore[r];
    // What is recorded from here on is the stop's (note-offs for keys the messages
    // fed left down, pedal releases, All Sound Off), not forwarded.
    size_t ours[2];
    for (uint32_t o = 0; o < 2; ++o) ours[o] = dev.OutRecordSize(o);
    StopRoutes();
    SetStageHook(nullptr);

    std::vector<midi::VirtualMidi::OutEvent> records[2];
    for (uint32_t o = 0; o < 2; ++o) records[o] = dev.OutRecord(o);
    std::vector<double> allUs;
    std::vector<Stages> allStages;
    allUs.reserve(count * static_cast<size_t>(feeding));
    allStages.reserve(count * static_cast<size_t>(feeding));
    int64_t allLastNs = 0;
    for (int r = 0; r < routes; ++r) {
        if (!fed[r]) continue;
        LatencyRun& run = res.route[r];
        const uint64_t drops = run.ringDrops;
        const int o = setup.out[r];
        run = RouteRun(records[o], ours[o], r, tagged, count, dev.CallbackLog(static_cast<uint32_t>(r)), startNs, rate,
                       burst, allUs, allStages, allLastNs);
        run.ringDrops = drops;
        res.all.sent += run.sent;
        res.all.received += run.received;
        res.all.lost += run.lost;
        res.all.reordered += run.reordered;
        res.all.ringDrops += run.ringDrops;
    }
    res.all.throughput = Throughput(res.all.received / static_cast<size_t>(feeding), startNs, allLastNs, rate, burst);
    res.all.stages = Slowest(allUs, allStages);
    res.all.latency = Summarise(allUs);
    if (sysEx) {
        res.sysExFed = sysExMessages.size();
        res.sysExWhole = CountWhole(dev, static_cast<uint32_t>(setup.out[1]), sysExMessages);
        for (const auto& e : dev.OutRecord(static_cast<uint32_t>(setup.out[1]))) res.sysExLong += e.isLong;
        res.sysExBytesDropped = dev.InDropCounts(1).sysExBytes - sysExDropsBefore;
    }
    return res;
}

LatencyRun RunEngine(int routes, double rate, size_t count, size_t burst) {
    EngineSetup setup;
    setup.routes = routes;
    return RunEngine(setup, rate, count, burst).all;
}

namespace {

// The engine's input callback and worker at their barest, on the same virtual devices:
// the callback stores the message in a ring and pulses; the consumer waits with no
// time-out, drains and sends each message to the output. What is left of a row's
// time here is the devices' and the machine's.
struct DeviceHandoff {
    uint32_t slots[kRingSize];
    std::atomic<uint32_t> write{0};
    std::atomic<uint32_t> read{0};
    std::atomic<bool> done{false};
    platform::WakeEvent wake;
    midi::VirtualMidi* dev = nullptr;
    midi::OutHandle out = nullptr;
};

void HandoffCallback(midi::InHandle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t) {
    if (msg != midi::kMimData) return;
    DeviceHandoff& h = *reinterpret_cast<DeviceHandoff*>(instance);
    const uint32_t w = h.write.load(std::memory_order_relaxed);
    const uint32_t next = (w + 1) & (kRingSize - 1);
    if (next != h.read.load(std::memory_order_acquire)) {  // else dropped, and counted lost
        h.slots[w] = static_cast<uint32_t>(param1);
        h.write.store(next, std::memory_order_release);
        stageLog.Stamp(EngineStage::Ring, 0, static_cast<uint32_t>(param1));
    }
    h.wake.Pulse();
}

void HandoffConsumer(DeviceHandoff& h) {
    for (;;) {
        stageLog.Stamp(EngineStage::Sleep, -1, 0);
        h.wake.Wait(platform::kForever);
        stageLog.Stamp(EngineStage::Awake, -1, 0);
        const bool done = h.done.load(std::memory_order_acquire);
        const uint32_t end = h.write.load(std::memory_order_acquire);
        uint32_t r = h.read.load(std::memory_order_relaxed);
        while (r != end) {
            const uint32_t m = h.slots[r];
            r = (r + 1) & (kRingSize - 1);
            h.read.store(r, std::memory_order_release);
            stageLog.Stamp(EngineStage::Send, 0, m);
            h.dev->OutShortMsg(h.out, m);
        }
        if (done) return;
    }
}

}  // namespace

LatencyRun RunDeviceHandoff(double rate, size_t count, size_t burst) {
    midi::VirtualMidi dev(midi::VirtualMidi::Config{{"In A"}, {"Out A"}});
    auto h = std::make_unique<DeviceHandoff>();
    h->dev = &dev;
    h->wake.Create();
    dev.EnableCallbackLog(0, count);
    dev.ReserveOutRecord(0, count + 64, 0);
    stageLog.Reset(count, false);
    midi::InHandle in = nullptr;
    LatencyRun run;
    if (dev.InOpen(&in, 0, HandoffCallback, reinterpret_cast<uintptr_t>(h.get()), midi::kCallbackFunction) !=
            midi::kNoError ||
        dev.OutOpen(&h->out, 0, nullptr, 0) != midi::kNoError)
        return run;
    dev.InStart(in);
    std::thread consumer(HandoffConsumer, std::ref(*h));
    const int64_t startNs = NowNs();
    std::thread feeder([&dev, count, rate, burst] {
        Pace(count, rate, burst, [&dev](size_t i) { dev.SendShort(0, Encode(static_cast<uint32_t>(i))); });
    });
    feeder.join();
    WaitForOutput(dev, 0, count);
    const size_t ours = dev.OutRecordSize(0);
    h->done.store(true, std::memory_order_release);
    h->wake.Pulse();
    consumer.join();
    dev.InStop(in);
    dev.InReset(in);
    dev.InClose(in);
    dev.OutClose(h->out);
    std::vector<double> us;
    std::vector<Stages> stages;
    int64_t lastNs = 0;
    return RouteRun(dev.OutRecord(0), ours, 0, false, count, dev.CallbackLog(0), startNs, rate, burst, us, stages,
                    lastNs);
}

MetronomeRun RunMetronome(int tempo, size_t intervals) {
    MetronomeRun res;
    res.tempo = tempo;
    res.requested = intervals;
    res.nominalMs = 60000.0 / tempo;
    Session session(EngineSetup{});
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
    Session session(EngineSetup{});
    midi::VirtualMidi& dev = session.dev();
    const int tempo = session.settings().mTempo;
    const uint32_t interval = 60000u / static_cast<uint32_t>(tempo);
    constexpr size_t kMessagesPerBeat = 4;  // bell off, bell on, click off, click on
    metronomeOn = metronome ? 1 : 0;
    beatIndex = 0;
    // The first beat at once rather than one interval after a previous row's last.
    lastTickTime = platform::TickCount() - interval - 1;
    StartRoutes();
    // Past the start-up, whose first waits are not what an idle engine does.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // With the metronome on, the window starts half an interval after a beat and spans
    // whole intervals, so that it holds as many beats as intervals wherever the
    // machine's delays put them.
    auto window = std::chrono::duration<double>(seconds);
    if (metronome) {
        dev.WaitForOutEvents(0, kMessagesPerBeat, std::chrono::milliseconds(interval * 2));
        const auto record = dev.OutRecord(0);
        const size_t beats = record.size() / kMessagesPerBeat;
        int64_t startNs = beats ? record[(beats - 1) * kMessagesPerBeat].timeNs : NowNs();
        const int64_t intervalNs = static_cast<int64_t>(interval) * 1000000;
        startNs += intervalNs / 2;
        while (startNs < NowNs()) startNs += intervalNs;
        std::this_thread::sleep_for(std::chrono::nanoseconds(startNs - NowNs()));
        const double intervals = std::max(1.0, std::round(seconds * 1000.0 / interval));
        window = std::chrono::duration<double>(intervals * interval / 1000.0);
    }
    const size_t beats0 = dev.OutRecordSize(0) / kMessagesPerBeat;
    const uint64_t wakes0 = workerWakeups.load();
    const uint64_t timeouts0 = workerTimeouts.load();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(window);
    const uint64_t wakes1 = workerWakeups.load();
    const uint64_t timeouts1 = workerTimeouts.load();
    const size_t beats1 = dev.OutRecordSize(0) / kMessagesPerBeat;
    const double secs = SecondsSince(t0);
    res.kind = wakeEvent.Precise();
    StopRoutes();
    metronomeOn = 0;
    res.seconds = secs;
    res.wakeupsPerSecond = static_cast<double>(wakes1 - wakes0) / secs;
    res.timeoutsPerSecond = static_cast<double>(timeouts1 - timeouts0) / secs;
    if (metronome) {
        res.tempo = tempo;
        res.beats = beats1 - beats0;
        res.wakeupsPerBeat = res.beats ? static_cast<double>(wakes1 - wakes0) / static_cast<double>(res.beats) : 0;
    }
    return res;
}

}  // namespace bench

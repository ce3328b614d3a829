// The routing engine's benchmark: latency and lossless throughput, the metronome's
// beat intervals and the idle worker's wake-ups, each beside a bare baseline of the
// platform measured in the same run; then, on the classic driver model, short messages
// beside SysEx on another output, and two routes into one output.
//
// These run on shared virtual machines whose own scheduling delays reach milliseconds
// at the 99th percentile, so an absolute tail says more about the machine than about
// the engine: the targets are ratios to the baseline. Each latency row runs three
// times, alternately with its baseline, and the medians are compared, so that one
// stall of the machine does not decide a verdict.
//
// It prints figures and verdicts and exits 0 whether or not the targets are met; it
// fails only when it cannot run.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/baseline.h"
#include "bench/engine_rows.h"
#include "dialogs/monitor_model.h"
#include "engine/monitor_tap.h"
#include "platform/message_box.h"

namespace {

using namespace bench;

constexpr int kRepeats = 3;
constexpr double kRatioLimit = 1.5;  // the engine's tail against the baseline's
const int kTempos[] = {30, 120, 250};

struct Options {
    double rowSeconds = 3.0;   // of input per latency run
    size_t beatIntervals = 40;
    size_t timedWaits = 2000;  // per timed-wait run
    double idleSeconds = 2.0;
};

struct Case {
    double rate;
    size_t burst;
};
const Case kCases[] = {{1000, 1}, {10000, 1}, {100000, 1000}};

// Three runs of one row, summed (counts) and reduced to medians (latencies).
struct Row {
    std::vector<LatencyRun> runs;

    size_t Sum(size_t LatencyRun::*field) const {
        size_t n = 0;
        for (const auto& r : runs) n += r.*field;
        return n;
    }
    int64_t Lost() const {
        int64_t n = 0;
        for (const auto& r : runs) n += r.lost;
        return n;
    }
    StageBreakdown Stages() const {
        StageBreakdown b;
        for (const auto& r : runs) b.Add(r.stages);
        return b;
    }
    uint64_t RingDrops() const {
        uint64_t n = 0;
        for (const auto& r : runs) n += r.ringDrops;
        return n;
    }
    double Throughput() const {
        std::vector<double> v;
        for (const auto& r : runs) v.push_back(r.throughput);
        return Median(v);
    }
    double Med(double Latency::*field) const {
        std::vector<double> v;
        for (const auto& r : runs) v.push_back(r.latency.*field);
        return Median(v);
    }
};

struct CaseRows {
    Case c;
    Row bare, engine[2];  // engine[0]: one route, engine[1]: two
    Row device;           // the bare handoff through the virtual devices
    Row polling;          // the bare handoff with a 1 ms time-out, for comparison
};

std::string Ratio(double engine, double bare) {
    if (bare <= 0) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2fx", engine / bare);
    return buf;
}

void PrintLatencyHeader() {
    std::printf("%9s %6s %-9s %8s %8s %8s %8s %8s %9s %6s %9s %9s %8s %7s %7s %7s  %s\n", "msg/s", "burst", "row",
                "sent", "p50", "p99", "p99.9", "max", "received", "lost", "reordered", "ringdrops", "got/s", "p50x",
                "p99x", "p99.9x", "p99.9 of each run");
}

void PrintRow(const Case& c, const char* name, const Row& row, const Row* bare) {
    std::string runs;
    for (const auto& r : row.runs) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%.1f", runs.empty() ? "" : " / ", r.latency.p999);
        runs += buf;
    }
    const double p50 = row.Med(&Latency::p50), p99 = row.Med(&Latency::p99), p999 = row.Med(&Latency::p999);
    std::printf("%9.0f %6zu %-9s %8zu %8.1f %8.1f %8.1f %8.1f %9zu %6lld %9zu %9llu %8.0f %7s %7s %7s  %s\n", c.rate,
                c.burst, name, row.Sum(&LatencyRun::sent), p50, p99, p999, row.Med(&Latency::max),
                row.Sum(&LatencyRun::received), static_cast<long long>(row.Lost()), row.Sum(&LatencyRun::reordered),
                static_cast<unsigned long long>(row.RingDrops()), row.Throughput(),
                bare ? Ratio(p50, bare->Med(&Latency::p50)).c_str() : "",
                bare ? Ratio(p99, bare->Med(&Latency::p99)).c_str() : "",
                bare ? Ratio(p999, bare->Med(&Latency::p999)).c_str() : "", runs.c_str());
}

// Where the slowest messages of each row spent their time, by stage.
struct StageRow {
    double rate;
    const char* name;
    const Row* row;
};

void PrintStages(const char* title, const std::vector<StageRow>& rows) {
    std::printf("\n   %s: the slowest 0.1 %% of each row's messages (all runs), each stage's mean time over them in\n"
                "   microseconds and, in brackets, of how many of them it took the largest part\n\n",
                title);
    std::printf("   %9s %-9s %5s %9s", "msg/s", "row", "slow", "latency");
    for (const char* n : kStageNames) std::printf(" %19s", n);
    std::printf("\n");
    for (const StageRow& r : rows) {
        const StageBreakdown b = r.row->Stages();
        const double n = b.slow ? static_cast<double>(b.slow) : 1.0;
        double total = 0;
        for (double v : b.sumUs) total += v;
        std::printf("   %9.0f %-9s %5zu %9.1f", r.rate, r.name, b.slow, total / n);
        for (int k = 0; k < kStages; ++k) std::printf(" %12.1f (%4zu)", b.sumUs[k] / n, b.dominant[k]);
        std::printf("\n");
    }
    std::fflush(stdout);
}

void PrintLatencyStages(const std::vector<CaseRows>& all) {
    std::vector<StageRow> rows;
    for (const CaseRows& r : all) {
        rows.push_back({r.c.rate, "device", &r.device});
        rows.push_back({r.c.rate, "1 route", &r.engine[0]});
        rows.push_back({r.c.rate, "2 routes", &r.engine[1]});
    }
    PrintStages("Stages", rows);
}

// Baseline, one route, two routes; three times over.
CaseRows RunCase(const Case& c, const Options& o) {
    CaseRows rows;
    rows.c = c;
    const size_t count = static_cast<size_t>(c.rate * o.rowSeconds);
    for (int i = 0; i < kRepeats; ++i) {
        rows.bare.runs.push_back(RunHandoff(c.rate, count, c.burst));
        rows.polling.runs.push_back(RunHandoff(c.rate, count, c.burst, 1));
        rows.device.runs.push_back(RunDeviceHandoff(c.rate, count, c.burst));
        rows.engine[0].runs.push_back(RunEngine(1, c.rate, count, c.burst));
        rows.engine[1].runs.push_back(RunEngine(2, c.rate, count, c.burst));
    }
    return rows;
}

std::vector<CaseRows> RunLatencySection(const Options& o) {
    std::printf("1. Latency, microseconds: engine = input callback called -> message at the virtual output;\n"
                "   bare = the same pacing into a bare handoff (producer thread: time stamp -> SPSC ring -> WakeEvent\n"
                "   pulse; consumer thread: wait with no time-out, as the worker, and drain), no engine; bare 1ms = the\n"
                "   same with a 1 ms time-out, which keeps the consumer awake in step with input fed every millisecond\n"
                "   (for comparison); device = the same pacing through the virtual devices: input callback -> SPSC ring\n"
                "   -> pulse, a consumer as the bare one sending each message to the virtual output, no engine.\n"
                "   %.1f s of input per run, %d runs per row taken alternately with the bare one;\n"
                "   p50 .. max are medians of the runs, counts their sums, got/s the messages per second and route that\n"
                "   came through (median), p50x .. p99.9x the row's medians over the bare row's.\n\n",
                o.rowSeconds, kRepeats);
    PrintLatencyHeader();
    std::fflush(stdout);
    std::vector<CaseRows> all;
    for (const Case& c : kCases) {
        all.push_back(RunCase(c, o));
        const CaseRows& r = all.back();
        PrintRow(c, "bare", r.bare, nullptr);
        PrintRow(c, "bare 1ms", r.polling, &r.bare);
        PrintRow(c, "device", r.device, &r.bare);
        PrintRow(c, "1 route", r.engine[0], &r.bare);
        PrintRow(c, "2 routes", r.engine[1], &r.bare);
        std::fflush(stdout);
    }
    PrintLatencyStages(all);
    return all;
}

struct MetronomeSection {
    std::vector<WaitOvershoot> waits;
    std::vector<MetronomeRun> beats;
    double WaitP99MedianMs() const {
        std::vector<double> v;
        for (const auto& w : waits) v.push_back(w.overshoot.p99 / 1000);
        return Median(v);
    }
};

void PrintWait(const WaitOvershoot& w) {
    std::printf("   bare 1 ms timed wait  %5zu waits      overshoot, ms: p50 %6.3f  p99 %6.3f  p99.9 %6.3f  max %6.3f"
                "   EnablePrecise(): %s\n",
                w.waits, w.overshoot.p50 / 1000, w.overshoot.p99 / 1000, w.overshoot.p999 / 1000,
                w.overshoot.max / 1000, PreciseName(w.kind));
}

void PrintBeats(const MetronomeRun& m) {
    if (m.intervals < m.requested)
        std::printf("   metronome %3d bpm: only %zu of %zu beat intervals reached the output\n", m.tempo, m.intervals,
                    m.requested);
    std::printf("   metronome %3d bpm %5zu intervals  interval - %.0f ms: mean %+6.3f  jitter p99 %6.3f"
                "  (min %.3f  median %.3f  max %.3f)   worker: %s\n",
                m.tempo, m.intervals, m.nominalMs, m.meanExcessMs, m.jitterP99Ms, m.minMs, m.medianMs, m.maxMs,
                PreciseName(m.kind));
}

// Each tempo once, in order, each after a timed-wait baseline of its own: the slow
// tempo alone takes 80 s, too long to repeat.
MetronomeSection RunMetronomeSection(const Options& o) {
    std::printf("\n2. Metronome through the worker, on the output of route In A -> Out A; a beat is its bell note-off\n"
                "   (89 22) as stamped at the output; jitter = |interval - median interval|. Beside each tempo, a bare\n"
                "   baseline: 1 ms waits on a WakeEvent with precise waiting on, as the worker's while it plays.\n\n");
    std::fflush(stdout);
    MetronomeSection sec;
    for (int tempo : kTempos) {
        sec.waits.push_back(MeasureTimedWait(o.timedWaits));
        PrintWait(sec.waits.back());
        std::fflush(stdout);
        sec.beats.push_back(RunMetronome(tempo, o.beatIntervals));
        PrintBeats(sec.beats.back());
        std::fflush(stdout);
    }
    return sec;
}

struct IdleSection {
    IdleRun off, on;
};

IdleSection RunIdleSection(const Options& o) {
    std::printf("\n3. Worker wake-ups, one route, no input, %.1f s each once started (with the metronome on, whole beat\n"
                "   intervals from half an interval after a beat; beats as they reached the output)\n\n",
                o.idleSeconds);
    std::fflush(stdout);
    IdleSection sec;
    for (bool metronome : {false, true}) {
        const IdleRun r = MeasureIdle(metronome, o.idleSeconds);
        std::printf("   metronome %-3s  %6.1f wake-ups/s, %6.1f of them timed out", metronome ? "on" : "off",
                    r.wakeupsPerSecond, r.timeoutsPerSecond);
        if (metronome)
            std::printf(", %zu beats at %d bpm in %.2f s: %.2f wake-ups per beat", r.beats, r.tempo, r.seconds,
                        r.wakeupsPerBeat);
        std::printf("   precise wait: %s\n", PreciseName(r.kind));
        std::fflush(stdout);
        (metronome ? sec.on : sec.off) = r;
    }
    return sec;
}

// ---- classic drivers ----------------------------------------------------------------
// Both rows of a classic-driver section are fed as the 1 000 msg/s latency row is.
const Case kClassicCase = {1000, 1};

struct SysExSection {
    Row with, without;  // route 1's
    std::vector<EngineRun> sysExRuns;
    size_t Fed() const {
        size_t n = 0;
        for (const auto& r : sysExRuns) n += r.sysExFed;
        return n;
    }
    size_t Whole() const {
        size_t n = 0;
        for (const auto& r : sysExRuns) n += r.sysExWhole;
        return n;
    }
    size_t Long() const {
        size_t n = 0;
        for (const auto& r : sysExRuns) n += r.sysExLong;
        return n;
    }
};

SysExSection RunSysExSection(const Options& o) {
    const double cableMs = static_cast<double>(kSysExBytes) * 0.320;
    std::printf("\n4. SysEx beside short messages, every device on the classic driver model (an output takes one client,\n"
                "   long messages leave at cable speed, 320 us a byte): route 1 In A -> Out A fed %.0f msg/s as in 1;\n"
                "   route 2 In B -> Out B gets a %zu-byte SysEx message every %.0f ms from a thread of its own (SysEx)\n"
                "   or nothing (no SysEx). Route 1's latency; %d runs of each, alternately; p50x .. p99.9x are the\n"
                "   SysEx row's medians over the no-SysEx row's. One such message takes %.0f ms on the cable, so\n"
                "   Out B carries at most %.1f of them a second.\n\n",
                kClassicCase.rate, kSysExBytes, kSysExPeriodMs, kRepeats, cableMs, 1000.0 / cableMs);
    PrintLatencyHeader();
    std::fflush(stdout);
    SysExSection sec;
    const size_t count = static_cast<size_t>(kClassicCase.rate * o.rowSeconds);
    EngineSetup setup;
    setup.routes = 2;
    setup.model = midi::DriverModel::Classic;
    setup.feedRoute2 = false;
    for (int i = 0; i < kRepeats; ++i) {
        setup.sysEx = false;
        sec.without.runs.push_back(RunEngine(setup, kClassicCase.rate, count, kClassicCase.burst).route[0]);
        setup.sysEx = true;
        sec.sysExRuns.push_back(RunEngine(setup, kClassicCase.rate, count, kClassicCase.burst));
        sec.with.runs.push_back(sec.sysExRuns.back().route[0]);
    }
    PrintRow(kClassicCase, "no SysEx", sec.without, nullptr);
    PrintRow(kClassicCase, "SysEx", sec.with, &sec.without);
    PrintStages("Stages, route 1",
                {{kClassicCase.rate, "no SysEx", &sec.without}, {kClassicCase.rate, "SysEx", &sec.with}});
    std::string each;
    uint64_t dropped = 0;
    for (const auto& r : sec.sysExRuns) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%zu/%zu", each.empty() ? "" : ", ", r.sysExWhole, r.sysExFed);
        each += buf;
        dropped += r.sysExBytesDropped;
    }
    // Fed faster than a cable carries them, messages pile up before Out B and In B runs
    // out of buffers: what is lost there is lost at the input, as on an overrun MIDI
    // port; what leaves must still be whole.
    std::printf("\n   SysEx messages that reached Out B whole: %zu of %zu fed (runs: %s); long messages at Out B: %zu;\n"
                "   bytes In B dropped for want of a queued buffer: %llu\n",
                sec.Whole(), sec.Fed(), each.c_str(), sec.Long(), static_cast<unsigned long long>(dropped));
    std::fflush(stdout);
    return sec;
}

struct SharedSection {
    Row route[2];
};

SharedSection RunSharedSection(const Options& o, const Row* bare) {
    std::printf("\n5. Two routes into one output, every device on the classic driver model: route 1 In A -> Out A and\n"
                "   route 2 In B -> Out A, each fed %.0f msg/s from a thread of its own (route 1 key pressure and\n"
                "   controllers, route 2 channel pressure and pitch bend), %.1f s of input per run, %d runs; per route,\n"
                "   as in 1; p50x .. p99.9x over the bare handoff's row at %.0f msg/s in 1.\n\n",
                kClassicCase.rate, o.rowSeconds, kRepeats, kClassicCase.rate);
    PrintLatencyHeader();
    std::fflush(stdout);
    SharedSection sec;
    const size_t count = static_cast<size_t>(kClassicCase.rate * o.rowSeconds);
    EngineSetup setup;
    setup.routes = 2;
    setup.model = midi::DriverModel::Classic;
    setup.out[1] = 0;
    for (int i = 0; i < kRepeats; ++i) {
        const EngineRun run = RunEngine(setup, kClassicCase.rate, count, kClassicCase.burst);
        for (int r = 0; r < 2; ++r) sec.route[r].runs.push_back(run.route[r]);
    }
    PrintRow(kClassicCase, "route 1", sec.route[0], bare);
    PrintRow(kClassicCase, "route 2", sec.route[1], bare);
    PrintStages("Stages",
                {{kClassicCase.rate, "route 1", &sec.route[0]}, {kClassicCase.rate, "route 2", &sec.route[1]}});
    return sec;
}

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

// ---- the MIDI monitor's tap -------------------------------------------------------------
// The monitor open beside the forwarding: the tap on, and a reader that empties it ten
// times a second into the monitor's model (decoded lines, figures), as the monitor's
// window does. The same row with the monitor closed runs alternately with it.
constexpr double kTapRatioLimit = 1.1;
const Case kTapCases[] = {{1000, 1}, {10000, 1}};

struct TapSection {
    Case c;
    Row closed, open;
    uint64_t lines = 0, lost = 0;
};

LatencyRun RunWithMonitor(const Case& c, size_t count, TapSection& sec) {
    std::atomic<bool> reading{true};
    const uint64_t lostBefore = tapLost[0] + tapLost[1] + tapLost[2] + tapLost[3];
    OpenTap();
    std::thread reader([&] {
        monitor::Monitor model;
        std::vector<TapEntry> batch;
        batch.reserve(kTapWriters * kTapRingSize);
        const monitor::Figures zero[2];
        model.Reset(zero, 0, 0);
        auto take = [&] {
            batch.clear();
            TakeTap([](const TapEntry& e, void* b) { static_cast<std::vector<TapEntry>*>(b)->push_back(e); }, &batch);
            sec.lines += model.Take(batch);
        };
        while (reading) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            take();
        }
        take();
    });
    const LatencyRun run = RunEngine(1, c.rate, count, c.burst);
    reading = false;
    reader.join();
    CloseTap();
    sec.lost += tapLost[0] + tapLost[1] + tapLost[2] + tapLost[3] - lostBefore;
    return run;
}

std::vector<TapSection> RunTapSection(const Options& o) {
    std::printf("\n6. The MIDI monitor open: one route fed as in 1, with the monitor's tap on and a reader emptying it\n"
                "   ten times a second into the monitor's model (monitor), or with the monitor closed (closed), %d runs\n"
                "   of each, alternately; p50x .. p99.9x are the monitor row's medians over the closed row's.\n\n",
                kRepeats);
    PrintLatencyHeader();
    std::fflush(stdout);
    std::vector<TapSection> all;
    for (const Case& c : kTapCases) {
        TapSection sec;
        sec.c = c;
        const size_t count = static_cast<size_t>(c.rate * o.rowSeconds);
        for (int i = 0; i < kRepeats; ++i) {
            sec.closed.runs.push_back(RunEngine(1, c.rate, count, c.burst));
            sec.open.runs.push_back(RunWithMonitor(c, count, sec));
        }
        PrintRow(c, "closed", sec.closed, nullptr);
        PrintRow(c, "monitor", sec.open, &sec.closed);
        std::printf("%9s lines the monitor took: %llu, lost: %llu\n", "",
                    static_cast<unsigned long long>(sec.lines), static_cast<unsigned long long>(sec.lost));
        std::fflush(stdout);
        all.push_back(sec);
    }
    return all;
}

void PrintTapTargets(const std::vector<TapSection>& all) {
    for (const TapSection& s : all) {
        const double p50 = s.open.Med(&Latency::p50), p50c = s.closed.Med(&Latency::p50);
        const double p999 = s.open.Med(&Latency::p999), p999c = s.closed.Med(&Latency::p999);
        const bool ok = p50c > 0 && p999c > 0 && p50 <= kTapRatioLimit * p50c && p999 <= kTapRatioLimit * p999c &&
                        s.open.Lost() == 0 && s.open.Sum(&LatencyRun::reordered) == 0;
        std::printf("  monitor open at %.0f msg/s: p50 and p99.9 <= %.1f x the closed row's, no message lost: "
                    "p50 %.1f us against %.1f us (%s), p99.9 %.1f us against %.1f us (%s), %lld lost: %s\n",
                    s.c.rate, kTapRatioLimit, p50, p50c, Ratio(p50, p50c).c_str(), p999, p999c,
                    Ratio(p999, p999c).c_str(), static_cast<long long>(s.open.Lost()), Verdict(ok));
    }
}

void PrintMetronomeTargets(const MetronomeSection& sec) {
    bool meanOk = !sec.beats.empty(), jitterOk = !sec.beats.empty();
    const double limitMs = kRatioLimit * sec.WaitP99MedianMs();
    std::string means, jitters;
    for (const auto& m : sec.beats) {
        const bool complete = m.intervals > 0 && m.intervals == m.requested;
        meanOk = meanOk && complete && m.meanExcessMs >= 0 && m.meanExcessMs <= 2.0;
        jitterOk = jitterOk && complete && m.jitterP99Ms <= limitMs;
        char buf[96];
        std::snprintf(buf, sizeof buf, "%s%d bpm %+.3f", means.empty() ? "" : ", ", m.tempo, m.meanExcessMs);
        means += buf;
        std::snprintf(buf, sizeof buf, "%s%d bpm %.3f", jitters.empty() ? "" : ", ", m.tempo, m.jitterP99Ms);
        jitters += buf;
    }
    std::printf("  mean beat interval 0 to 2 ms above 60000 / mTempo: %s ms: %s\n", means.c_str(), Verdict(meanOk));
    std::printf("  beat jitter p99 <= %.1f x the bare timed wait's p99 overshoot (median of %zu runs %.3f ms, limit "
                "%.3f ms): %s ms: %s\n",
                kRatioLimit, sec.waits.size(), sec.WaitP99MedianMs(), limitMs, jitters.c_str(),
                Verdict(jitterOk));
}

void PrintLatencyTargets(const std::vector<CaseRows>& rows) {
    for (const CaseRows& r : rows) {
        if (r.c.burst != 1) continue;
        const double bare = r.bare.Med(&Latency::p999), device = r.device.Med(&Latency::p999);
        for (int k = 0; k < 2; ++k) {
            const double engine = r.engine[k].Med(&Latency::p999);
            const bool ok = bare > 0 && engine <= kRatioLimit * bare;
            std::printf("  latency p99.9 at %.0f msg/s, %s, <= %.1f x the bare handoff's: %.1f us against %.1f us "
                        "(%s; the device handoff's %.1f us, %s): %s\n",
                        r.c.rate, k ? "two routes" : "one route", kRatioLimit, engine, bare, Ratio(engine, bare).c_str(),
                        device, Ratio(engine, device).c_str(), Verdict(ok));
        }
    }
    for (const CaseRows& r : rows) {
        if (r.c.burst == 1) continue;
        bool ok = true;
        std::string figures;
        for (int k = 0; k < 2; ++k) {
            const Row& e = r.engine[k];
            ok = ok && e.Lost() == 0 && e.Sum(&LatencyRun::reordered) == 0;
            char buf[128];
            std::snprintf(buf, sizeof buf, "%s%d route%s %lld lost, %zu reordered of %zu (%.0f msg/s came through)",
                          k ? "; " : "", k + 1, k ? "s" : "", static_cast<long long>(e.Lost()), e.Sum(&LatencyRun::reordered),
                          e.Sum(&LatencyRun::sent), e.Throughput());
            figures += buf;
        }
        std::printf("  no loss, no reordering at %.0f msg/s in bursts of %zu: %s: %s\n", r.c.rate, r.c.burst,
                    figures.c_str(), Verdict(ok));
    }
}

void PrintIdleTargets(const IdleSection& sec) {
    std::printf("  idle worker, metronome off: 0 wake-ups per second: %.1f: %s\n", sec.off.wakeupsPerSecond,
                Verdict(sec.off.wakeupsPerSecond == 0));
    const bool ok = sec.on.beats > 0 && sec.on.wakeupsPerBeat >= 0.5 && sec.on.wakeupsPerBeat <= 1.5;
    std::printf("  idle worker, metronome on at %d bpm: about one wake-up per beat (0.5 to 1.5): %.2f (%.1f wake-ups/s, "
                "%zu beats): %s\n",
                sec.on.tempo, sec.on.wakeupsPerBeat, sec.on.wakeupsPerSecond, sec.on.beats, Verdict(ok));
}

void PrintClassicTargets(const SysExSection& sysEx, const SharedSection& shared, const Row* bare) {
    const double with = sysEx.with.Med(&Latency::p999), without = sysEx.without.Med(&Latency::p999);
    std::printf("  route 1's latency p99.9 beside SysEx on route 2, classic drivers, <= %.1f x the same row's without: "
                "%.1f us against %.1f us (%s): %s\n",
                kRatioLimit, with, without, Ratio(with, without).c_str(),
                Verdict(without > 0 && with <= kRatioLimit * without));
    std::printf("  every long message at Out B is one SysEx message fed, whole (none cut, none merged): %zu of %zu: %s\n",
                sysEx.Whole(), sysEx.Long(), Verdict(sysEx.Long() > 0 && sysEx.Whole() == sysEx.Long()));

    bool clean = true;
    std::string figures;
    for (int r = 0; r < 2; ++r) {
        const Row& e = shared.route[r];
        clean = clean && e.Lost() == 0 && e.Sum(&LatencyRun::reordered) == 0;
        char buf[96];
        std::snprintf(buf, sizeof buf, "%sroute %d %lld lost, %zu reordered of %zu", r ? "; " : "", r + 1,
                      static_cast<long long>(e.Lost()), e.Sum(&LatencyRun::reordered), e.Sum(&LatencyRun::sent));
        figures += buf;
    }
    std::printf("  two routes into one classic output, no loss and no reordering on either: %s: %s\n", figures.c_str(),
                Verdict(clean));
    const double base = bare ? bare->Med(&Latency::p999) : 0;
    const double p1 = shared.route[0].Med(&Latency::p999), p2 = shared.route[1].Med(&Latency::p999);
    std::printf("  two routes into one classic output, p99.9 of each <= %.1f x the bare handoff's at %.0f msg/s: route 1 "
                "%.1f us (%s), route 2 %.1f us (%s) against %.1f us: %s\n",
                kRatioLimit, kClassicCase.rate, p1, Ratio(p1, base).c_str(), p2, Ratio(p2, base).c_str(), base,
                Verdict(base > 0 && p1 <= kRatioLimit * base && p2 <= kRatioLimit * base));
}

// Latency counts from the input callback on, so a stage that falls behind before it
// (the virtual input's delivery, the callback itself) shows only here.
struct NamedRow {
    double rate;
    std::string name;
    const Row* row;
};

void PrintKeptUp(const std::vector<NamedRow>& rows) {
    constexpr double kKeptUp = 0.9;
    bool any = false;
    for (const NamedRow& r : rows) {
        if (r.row->Throughput() >= kKeptUp * r.rate) continue;
        if (!any) std::printf("\nRows that did not keep up with the rate fed (messages per second and route):\n");
        any = true;
        std::printf("  %.0f msg/s, %s: %.0f came through\n", r.rate, r.name.c_str(), r.row->Throughput());
    }
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            // For trying the program out; too few samples for the targets to mean much.
            o.rowSeconds = 0.5;
            o.beatIntervals = 8;
            o.timedWaits = 300;
            o.idleSeconds = 0.5;
        } else {
            std::fprintf(stderr, "usage: kavo_bench [--quick]\n");
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) return 2;
    for (const Case& c : kCases) {
        if (static_cast<size_t>(c.rate * o.rowSeconds) >= kMaxSequence) {
            std::fprintf(stderr, "%.0f messages do not fit the 20-bit sequence number\n", c.rate * o.rowSeconds);
            return 2;
        }
    }
    // Where both routes send to one output, a message's top bit is its route.
    if (static_cast<size_t>(kClassicCase.rate * o.rowSeconds) >= kMaxSequence / 2) {
        std::fprintf(stderr, "%.0f messages do not fit the 19-bit sequence number\n", kClassicCase.rate * o.rowSeconds);
        return 2;
    }
    platform::SetMessageBoxHandler([](const char* text, unsigned, void*) {
        std::fprintf(stderr, "message box: %s\n", text);
        return platform::kIdOk;
    }, nullptr);

#ifdef _WIN32
    const char* build = "Windows build";
#else
    const char* build = "host build";
#endif
    std::printf("Kavo2 routing engine benchmark, %s, virtual devices, %u cores\n\n", build,
                std::thread::hardware_concurrency());
    const auto t0 = Clock::now();
    const std::vector<CaseRows> latency = RunLatencySection(o);
    const MetronomeSection metronome = RunMetronomeSection(o);
    const IdleSection idle = RunIdleSection(o);
    const Row* bare1000 = nullptr;
    for (const CaseRows& r : latency)
        if (r.c.rate == kClassicCase.rate && r.c.burst == kClassicCase.burst) bare1000 = &r.bare;
    const SysExSection sysEx = RunSysExSection(o);
    const SharedSection shared = RunSharedSection(o, bare1000);
    const std::vector<TapSection> tap = RunTapSection(o);

    std::printf("\nTargets (against the baselines of this run):\n");
    PrintMetronomeTargets(metronome);
    PrintLatencyTargets(latency);
    PrintIdleTargets(idle);
    PrintClassicTargets(sysEx, shared, bare1000);
    PrintTapTargets(tap);

    std::vector<NamedRow> rows;
    for (const CaseRows& r : latency) {
        rows.push_back({r.c.rate, "bare", &r.bare});
        rows.push_back({r.c.rate, "device", &r.device});
        rows.push_back({r.c.rate, "1 route", &r.engine[0]});
        rows.push_back({r.c.rate, "2 routes", &r.engine[1]});
    }
    rows.push_back({kClassicCase.rate, "classic, no SysEx, route 1", &sysEx.without});
    rows.push_back({kClassicCase.rate, "classic, SysEx, route 1", &sysEx.with});
    rows.push_back({kClassicCase.rate, "one classic output, route 1", &shared.route[0]});
    rows.push_back({kClassicCase.rate, "one classic output, route 2", &shared.route[1]});
    PrintKeptUp(rows);
    std::printf("\n%.0f s in all\n", std::chrono::duration<double>(Clock::now() - t0).count());
    return 0;
}

#include "dialogs/monitor_model.h"

#include <algorithm>
#include <cstdio>

#include "engine/engine.h"

namespace monitor {

namespace {

std::string U(uint64_t v) { return std::to_string(v); }

Figures Minus(const Figures& a, const Figures& b) {
    Figures d;
    d.in = a.in - b.in;
    d.out = a.out - b.out;
    d.sysExIn = a.sysExIn - b.sysExIn;
    d.sysExInBytes = a.sysExInBytes - b.sysExInBytes;
    d.sysExOut = a.sysExOut - b.sysExOut;
    d.sysExOutBytes = a.sysExOutBytes - b.sysExOutBytes;
    d.ringDrops = a.ringDrops - b.ringDrops;
    d.backlogDrops = a.backlogDrops - b.backlogDrops;
    d.brokenDrops = a.brokenDrops - b.brokenDrops;
    return d;
}

const char* Named(const char* name) { return name && *name ? name : "(なし)"; }

}  // namespace

const char* RouteText(int route) { return route == 0 ? "Kavo1" : "Kavo2"; }

const char* DirectionText(TapSource s) {
    switch (s) {
    case TapSource::In: return "入力";
    case TapSource::Out: return "出力";
    case TapSource::Metronome: return "出力 (メトロノーム)";
    case TapSource::Panel: return "出力 (パネル)";
    }
    return "";
}

std::string TimeText(int64_t timeUs, int64_t baseUs, uint32_t dayMs) {
    constexpr int64_t kDayMs = 24LL * 60 * 60 * 1000;
    int64_t ms = (static_cast<int64_t>(dayMs) + (timeUs - baseUs) / 1000) % kDayMs;
    if (ms < 0) ms += kDayMs;
    char text[24];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                  static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
    return text;
}

Figures ReadFigures(int route) {
    const int r = route & 1;
    const TapCounters& c = tapCounters[r];
    Figures f;
    f.in = c.in.load(std::memory_order_relaxed);
    f.out = c.out.load(std::memory_order_relaxed);
    f.sysExIn = c.sysExIn.load(std::memory_order_relaxed);
    f.sysExInBytes = c.sysExInBytes.load(std::memory_order_relaxed);
    f.sysExOut = c.sysExOut.load(std::memory_order_relaxed);
    f.sysExOutBytes = c.sysExOutBytes.load(std::memory_order_relaxed);
    f.ringDrops = ringDrops[r].load(std::memory_order_relaxed);
    f.backlogDrops = backlogDrops[r].load(std::memory_order_relaxed);
    f.brokenDrops = cutSysExDrops[r].load(std::memory_order_relaxed);
    return f;
}

std::string HeadText(const char* inName, const char* outName, RouteState state, const char* waitingFor) {
    std::string text = std::string("IN: ") + Named(inName) + "  →  OUT: " + Named(outName) + "   ";
    switch (state) {
    case RouteState::Forwarding: return text + "転送中";
    case RouteState::Waiting: return text + "接続待ち: " + Named(waitingFor);
    case RouteState::Stopped: return text + "停止中";
    }
    return text;
}

std::string FiguresText(const Figures& f, uint64_t inPerSecond, uint64_t outPerSecond) {
    return "入力 " + U(f.in) + " (" + U(inPerSecond) + "/秒)   出力 " + U(f.out) + " (" + U(outPerSecond) +
           "/秒)   SysEx 入力 " + U(f.sysExIn) + " (" + U(f.sysExInBytes) + " バイト)  出力 " + U(f.sysExOut) + " (" +
           U(f.sysExOutBytes) + " バイト)\n破棄: リング満杯 " + U(f.ringDrops) + "   バックログ超過 " +
           U(f.backlogDrops) + "   途切れ・先頭なし " + U(f.brokenDrops);
}

std::string LostText(uint64_t lost) { return "モニターが取りこぼした行: " + U(lost); }

void Monitor::Reset(const Figures now[2], uint64_t lostNow, uint64_t nowMs) {
    first_ = size_ = 0;
    for (auto& route : decoders_)
        for (MidiDecoder& d : route) d = MidiDecoder();
    for (int r = 0; r < 2; ++r) {
        base_[r] = now[r];
        shown_[r] = Figures();
        rateIn_[r] = now[r].in;
        rateOut_[r] = now[r].out;
        inRate_[r] = outRate_[r] = 0;
    }
    lostBase_ = lostNow;
    lost_ = 0;
    rateAtMs_ = nowMs;
}

size_t Monitor::Take(std::vector<TapEntry>& batch) {
    // Each ring is in time order already: a stable sort keeps it, and puts a message's
    // way in (its callback's ring comes first) before its way out at equal times.
    std::stable_sort(batch.begin(), batch.end(),
                     [](const TapEntry& a, const TapEntry& b) { return a.timeUs < b.timeUs; });
    if (paused_) return 0;
    // Only the newest kLines of a batch stay in the list: the ones before them only
    // move their streams' running status on.
    const size_t firstKept = batch.size() > lines_.size() ? batch.size() - lines_.size() : 0;
    for (size_t i = 0; i < batch.size(); ++i) {
        const TapEntry& e = batch[i];
        MidiDecoder& d = decoders_[e.route & 1][e.source == TapSource::In ? 0 : 1];
        if (i < firstKept) {
            d.Pass(e.message, e.length != 0);
            ++added_;
            continue;
        }
        Line line;
        line.timeUs = e.timeUs;
        line.route = e.route & 1;
        line.source = e.source;
        line.text = e.length == 0 ? d.Short(e.message)
                                  : d.Long(e.head, std::min<uint32_t>(e.length, kTapHeadBytes), e.length, e.last);
        Add(std::move(line));
    }
    return batch.size();
}

void Monitor::Add(Line line) {
    ++added_;
    if (size_ < lines_.size()) {
        lines_[(first_ + size_++) % lines_.size()] = std::move(line);
        return;
    }
    lines_[first_] = std::move(line);  // the oldest goes
    first_ = (first_ + 1) % lines_.size();
}

void Monitor::Sample(const Figures now[2], uint64_t lostNow, uint64_t nowMs) {
    for (int r = 0; r < 2; ++r) shown_[r] = Minus(now[r], base_[r]);
    lost_ = lostNow - lostBase_;
    const uint64_t elapsed = nowMs - rateAtMs_;
    if (elapsed < 1000) return;
    for (int r = 0; r < 2; ++r) {
        inRate_[r] = (now[r].in - rateIn_[r]) * 1000 / elapsed;
        outRate_[r] = (now[r].out - rateOut_[r]) * 1000 / elapsed;
        rateIn_[r] = now[r].in;
        rateOut_[r] = now[r].out;
    }
    rateAtMs_ = nowMs;
}

}  // namespace monitor

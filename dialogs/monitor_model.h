#pragma once
// What the MIDI monitor shows, kept apart from its window so that both builds test it:
// the latest lines of both routes (decoded, oldest first), each route's head line
// (its devices and state) and figures (messages in and out, per second, SysEx, what it
// dropped and why), and the lines the tap lost. The window empties the tap into it at
// most ten times a second and moves the texts into its controls. Texts in code page 932.
#include <cstdint>
#include <string>
#include <vector>

#include "dialogs/midi_decode.h"
#include "engine/monitor_tap.h"

namespace monitor {

// The list keeps this many lines, the newest last.
constexpr size_t kLines = 1000;

struct Line {
    int64_t timeUs = 0;
    uint8_t route = 0;
    TapSource source = TapSource::In;
    std::string text;
};

// The columns of a line.
const char* RouteText(int route);          // "Kavo1", "Kavo2"
const char* DirectionText(TapSource s);    // "入力", "出力", "出力 (メトロノーム)", "出力 (パネル)"
// The time of day of a line: the clock read at baseUs was dayMs milliseconds into the
// day. "HH:MM:SS.mmm".
std::string TimeText(int64_t timeUs, int64_t baseUs, uint32_t dayMs);

// One route's counts, as the engine holds them.
struct Figures {
    uint64_t in = 0;
    uint64_t out = 0;
    uint64_t sysExIn = 0;
    uint64_t sysExInBytes = 0;
    uint64_t sysExOut = 0;
    uint64_t sysExOutBytes = 0;
    uint64_t ringDrops = 0;     // its ring was full
    uint64_t backlogDrops = 0;  // a SysEx message did not fit its backlog
    uint64_t brokenDrops = 0;   // a SysEx message came cut or headless
};
// The engine's counts now (the tap's, and the drops the engine counts at all times).
Figures ReadFigures(int route);

// A route's state, as the tooltip words it.
enum class RouteState { Forwarding, Waiting, Stopped };
// "IN: <input>  →  OUT: <output>   <state>": the state is "転送中", "接続待ち: " and
// the name of the device waited for, or "停止中"; a device without a name is "(なし)".
std::string HeadText(const char* inName, const char* outName, RouteState state, const char* waitingFor);
// "入力 N (R/秒)   出力 N (R/秒)   SysEx 入力 N (B バイト)  出力 N (B バイト)", then on a
// line of its own "破棄: リング満杯 N   バックログ超過 N   途切れ・先頭なし N".
std::string FiguresText(const Figures& f, uint64_t inPerSecond, uint64_t outPerSecond);
// "モニターが取りこぼした行: N".
std::string LostText(uint64_t lost);

class Monitor {
public:
    Monitor() : lines_(kLines) {}

    // Starts afresh: no lines, the counts from now on, decoders without running status.
    // nowMs: a millisecond clock, for the rates.
    void Reset(const Figures now[2], uint64_t lostNow, uint64_t nowMs);
    // The tap's entries since the last take, in any order of rings: put in time order
    // (each ring's own order kept), decoded per route and direction and added, unless
    // paused (the counts go on either way). Returns how many lines were added.
    size_t Take(std::vector<TapEntry>& batch);
    void SetPaused(bool paused) { paused_ = paused; }
    bool Paused() const { return paused_; }
    // The list emptied; the counts, rates and lost lines from now on.
    void Clear(const Figures now[2], uint64_t lostNow, uint64_t nowMs) { Reset(now, lostNow, nowMs); }

    // The counts since the last Reset or Clear, and the rates: each second the counts
    // of the last second (of what passed since the last sample, scaled to a second).
    void Sample(const Figures now[2], uint64_t lostNow, uint64_t nowMs);
    const Figures& Shown(int route) const { return shown_[route & 1]; }
    uint64_t InPerSecond(int route) const { return inRate_[route & 1]; }
    uint64_t OutPerSecond(int route) const { return outRate_[route & 1]; }
    uint64_t Lost() const { return lost_; }

    size_t Size() const { return size_; }
    const Line& At(size_t i) const { return lines_[(first_ + i) % lines_.size()]; }
    // Lines added since the start, the dropped oldest included: tells the window the
    // list has moved.
    uint64_t Added() const { return added_; }

private:
    void Add(Line line);

    std::vector<Line> lines_;
    size_t first_ = 0;
    size_t size_ = 0;
    uint64_t added_ = 0;
    bool paused_ = false;
    MidiDecoder decoders_[2][2];  // route, in / out

    Figures base_[2];
    Figures shown_[2];
    uint64_t lostBase_ = 0;
    uint64_t lost_ = 0;
    uint64_t rateAtMs_ = 0;
    uint64_t rateIn_[2] = {0, 0};   // the counts at the last rate sample
    uint64_t rateOut_[2] = {0, 0};
    uint64_t inRate_[2] = {0, 0};
    uint64_t outRate_[2] = {0, 0};
};

}  // namespace monitor

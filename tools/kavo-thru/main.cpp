// kavo-thru: the routing engine on virtual devices, with a built-in demonstration.
// Two virtual keyboards play a short phrase through both routes; route 1 has the
// velocity curve, a transpose of one octave up and the metronome; route 2 passes
// unchanged and also carries a GS Reset. What reaches each output is printed,
// decoded.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "settings/settings_model.h"
#include "engine/engine.h"
#include "platform/message_box.h"
#include "platform/virtual/virtual_midi.h"
#ifndef _WIN32
#include <iconv.h>
#endif

namespace {

// The program's texts are code page 932; a Linux console wants UTF-8.
std::string ConsoleText(const char* cp932) {
#ifdef _WIN32
    return cp932;
#else
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return cp932;
    std::string in(cp932), out(in.size() * 3 + 1, '\0');
    char* src = in.data();
    char* dst = out.data();
    size_t srcLeft = in.size(), dstLeft = out.size();
    iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
#endif
}

int PrintBox(const char* text, unsigned, void*) {
    std::printf("  [message] %s\n", ConsoleText(text).c_str());
    return platform::kIdOk;
}

std::string NoteName(uint32_t key) {
    static const char* const names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return std::string(names[key % 12]) + std::to_string(static_cast<int>(key / 12) - 1);
}

std::string Decode(const midi::VirtualMidi::OutEvent& e) {
    char buf[160];
    if (e.isLong) {
        std::string hex;
        for (size_t i = 0; i < e.bytes.size() && i < 16; ++i) {
            std::snprintf(buf, sizeof buf, "%02X ", e.bytes[i]);
            hex += buf;
        }
        std::snprintf(buf, sizeof buf, "SysEx %zu bytes: %s", e.bytes.size(), hex.c_str());
        return buf;
    }
    const uint32_t status = e.shortMsg & 0xFF, d1 = (e.shortMsg >> 8) & 0x7F, d2 = (e.shortMsg >> 16) & 0x7F;
    const uint32_t ch = (status & 0x0F) + 1;
    switch (status & 0xF0) {
    case 0x90:
        if (d2 == 0) std::snprintf(buf, sizeof buf, "note off %-4s (%3u) ch %2u", NoteName(d1).c_str(), d1, ch);
        else std::snprintf(buf, sizeof buf, "note on  %-4s (%3u) ch %2u vel %3u", NoteName(d1).c_str(), d1, ch, d2);
        break;
    case 0x80: std::snprintf(buf, sizeof buf, "note off %-4s (%3u) ch %2u", NoteName(d1).c_str(), d1, ch); break;
    case 0xB0:
        if (d1 == 120) std::snprintf(buf, sizeof buf, "All Sound Off      ch %2u", ch);
        else std::snprintf(buf, sizeof buf, "controller %3u = %3u ch %2u", d1, d2, ch);
        break;
    default: std::snprintf(buf, sizeof buf, "%02X %02X %02X", status, d1, d2); break;
    }
    const bool metronome = (status & 0x0F) == 9 && (d1 == 33 || d1 == 34);
    return std::string(buf) + (metronome ? (d1 == 34 ? "   <- metronome bell" : "   <- metronome click") : "");
}

}  // namespace

int main() {
    midi::VirtualMidi dev(midi::VirtualMidi::Config{{"Keyboard A", "Keyboard B"}, {"Synth A", "Synth B"}});
    midi::SetBackend(&dev);
    platform::SetAppTitle("kavo-thru");
    platform::SetMessageBoxHandler(PrintBox, nullptr);

    KavoSettings s;
    s.routeSettings[0] = RouteSettings{1, 0, 0, 0};  // Kavo1: Keyboard A -> Synth A
    s.routeSettings[1] = RouteSettings{1, 1, 1, 0};  // Kavo2: Keyboard B -> Synth B
    s.Port = 0;
    s.VelConvertion = 1;
    s.vSens = 20;  // a curve that lifts soft playing
    s.vOffset = 127;
    s.TransPose = 1;
    s.tOctave = 101;  // one octave up
    s.CopyStoredToActive();
    SeedEngine(s);
    metronomeOn = 1;
    lastTickTime = 0;

    std::printf("kavo-thru: Kavo1 = Keyboard A -> Synth A (velocity curve sens 20, +1 octave, metronome 120 bpm 4/4)\n");
    std::printf("           Kavo2 = Keyboard B -> Synth B (unchanged)\n\n");
    StartRoutes();
    if (!routeIn[0] || !routeIn[1]) {
        std::printf("the routes did not start\n");
        return 1;
    }

    // A two-bar phrase at 120 bpm: a C major arpeggio in eighths on keyboard A, a
    // bass line in quarters on keyboard B.
    const uint32_t melody[] = {60, 64, 67, 72, 67, 64, 60, 55};
    const uint32_t bass[] = {36, 43, 41, 43};
    const uint8_t gsReset[] = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    dev.SendSysEx(1, gsReset, sizeof gsReset);
    for (int bar = 0; bar < 2; ++bar) {
        for (int eighth = 0; eighth < 8; ++eighth) {
            const uint32_t key = melody[eighth], vel = 24 + 12 * static_cast<uint32_t>(eighth);
            dev.SendShort(0, 0x90 | (key << 8) | (vel << 16));
            if (eighth % 2 == 0) dev.SendShort(1, 0x91 | (bass[eighth / 2] << 8) | (90u << 16));
            std::this_thread::sleep_for(std::chrono::milliseconds(240));
            dev.SendShort(0, 0x80 | (key << 8) | (64u << 16));
            if (eighth % 2 == 1) dev.SendShort(1, 0x81 | (bass[eighth / 2] << 8));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    StopRoutes();

    for (uint32_t out = 0; out < 2; ++out) {
        const auto record = dev.OutRecord(out);
        std::printf("%s (route Kavo%u): %zu messages\n", out == 0 ? "Synth A" : "Synth B", out + 1, record.size());
        const int64_t t0 = record.empty() ? 0 : record.front().timeNs;
        for (const auto& e : record)
            std::printf("  %6.1f ms  %s\n", static_cast<double>(e.timeNs - t0) / 1e6, Decode(e).c_str());
        std::printf("\n");
    }
    std::printf("dropped: route 1 %u, route 2 %u\n", ringDrops[0].load(), ringDrops[1].load());
    return 0;
}

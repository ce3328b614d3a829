// The virtual MIDI devices: winmm's result codes, the input delivery thread and its
// buffers, the stop guarantee, late long sends, output callbacks, the output record
// and the driver models.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/virtual/virtual_midi.h"

namespace {

using midi::DriverModel;
using midi::Header;
using midi::InHandle;
using midi::OutHandle;
using midi::Result;
using midi::VirtualMidi;
using namespace std::chrono_literals;

constexpr auto kWait = 5000ms;
constexpr uint32_t kOpenFlags = midi::kCallbackFunction;

VirtualMidi::Config TwoByTwo() { return VirtualMidi::Config{{"Key A", "Key B"}, {"Synth A", "Synth B"}}; }

// Everything an input callback saw. A long-data call copies the header as it was
// when the callback ran, since the device may not touch it afterwards.
struct Collector {
    struct Call {
        uint32_t msg;
        uintptr_t param1;
        uintptr_t param2;
        std::thread::id thread;
        uint32_t flags;
        uint32_t recorded;
        std::vector<uint8_t> data;
    };

    std::mutex mu;
    std::condition_variable cv;
    std::vector<Call> calls;
    std::function<void(InHandle, uint32_t)> onCall;  // runs on the calling thread, unlocked

    static void Callback(InHandle h, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
        auto* self = reinterpret_cast<Collector*>(instance);
        Call c{msg, p1, p2, std::this_thread::get_id(), 0, 0, {}};
        if (msg == midi::kMimLongData) {
            const Header* hdr = reinterpret_cast<const Header*>(p1);
            c.flags = midi::LoadFlags(*hdr);
            c.recorded = hdr->dwBytesRecorded;
            c.data.assign(hdr->lpData, hdr->lpData + hdr->dwBytesRecorded);
        }
        if (self->onCall) self->onCall(h, msg);
        std::lock_guard<std::mutex> g(self->mu);
        self->calls.push_back(std::move(c));
        self->cv.notify_all();
    }

    uintptr_t Instance() { return reinterpret_cast<uintptr_t>(this); }

    std::vector<Call> Of(uint32_t msg) {
        std::lock_guard<std::mutex> g(mu);
        std::vector<Call> v;
        for (const Call& c : calls)
            if (c.msg == msg) v.push_back(c);
        return v;
    }
    // Calls of kinds other than open and close, in order.
    std::vector<Call> Data() {
        std::lock_guard<std::mutex> g(mu);
        std::vector<Call> v;
        for (const Call& c : calls)
            if (c.msg == midi::kMimData || c.msg == midi::kMimLongData) v.push_back(c);
        return v;
    }
    bool WaitForData(size_t n) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, kWait, [&] {
            size_t k = 0;
            for (const Call& c : calls) k += (c.msg == midi::kMimData || c.msg == midi::kMimLongData);
            return k >= n;
        });
    }
};

struct Buffer {
    std::vector<char> bytes;
    Header hdr{};
    explicit Buffer(uint32_t size) : bytes(size) {
        hdr.lpData = bytes.data();
        hdr.dwBufferLength = size;
    }
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((seed + i * 7) & 0x7F);
    v.front() = 0xF0;
    v.back() = 0xF7;
    return v;
}

// ---- configuration and enumeration -------------------------------------------------

TEST(VirtualMidiConfig, ParsesTheCompactForm) {
    struct Case {
        const char* text;
        std::vector<std::string> in, out;
    } cases[] = {
        {"in=Keyboard A,Keyboard B;out=Synth A,Synth B", {"Keyboard A", "Keyboard B"}, {"Synth A", "Synth B"}},
        {"in=;out=Synth", {}, {"Synth"}},
        {"out= Synth A ;in= Key 1 , Key 2 ", {"Key 1", "Key 2"}, {"Synth A"}},
        {"in=A;", {"A"}, {}},
        {"out=X", {}, {"X"}},
        {"", {}, {}},
        {" ; ", {}, {}},
    };
    for (const Case& c : cases) {
        VirtualMidi::Config cfg{{"stale"}, {"stale"}};
        ASSERT_TRUE(VirtualMidi::ParseConfig(c.text, &cfg)) << c.text;
        EXPECT_EQ(cfg.inputs, c.in) << c.text;
        EXPECT_EQ(cfg.outputs, c.out) << c.text;
    }
}

TEST(VirtualMidiConfig, RejectsMalformedTextAndKeepsWhatWasThere) {
    const char* bad[] = {
        "in=A;in=B",    // repeated section
        "in=A,,B",      // empty name
        "in=A,",        // empty last name
        "in=A;foo=B",   // unknown key
        "IN=A",         // keys are lower case
        "in A",         // no '='
        "in=A=B",       // '=' in a name
        "=A",           // no key
        "model=fast",   // unknown model
        "in=A@fast",    // unknown model of one device
        "in=A@",        // no model after '@'
        "out=@classic", // a model without a name
        "model=classic;model=ideal",  // repeated section
    };
    for (const char* text : bad) {
        VirtualMidi::Config cfg{{"kept in"}, {"kept out"}};
        EXPECT_FALSE(VirtualMidi::ParseConfig(text, &cfg)) << text;
        EXPECT_EQ(cfg.inputs, std::vector<std::string>{"kept in"}) << text;
        EXPECT_EQ(cfg.outputs, std::vector<std::string>{"kept out"}) << text;
    }
    VirtualMidi::Config cfg;
    EXPECT_FALSE(VirtualMidi::ParseConfig(nullptr, &cfg));
    EXPECT_FALSE(VirtualMidi::ParseConfig("in=A", nullptr));
}

TEST(VirtualMidiCaps, NamesCountsAndFailures) {
    const std::string longName(40, 'x');
    // 30 single bytes and then a double-byte character: it does not fit whole in 31.
    const std::string cut = std::string(30, 'y') + "\x82\xA0" + "z";
    VirtualMidi dev(VirtualMidi::Config{{"Key A", longName, cut}, {"Synth A"}});
    EXPECT_EQ(dev.InGetNumDevs(), 3u);
    EXPECT_EQ(dev.OutGetNumDevs(), 1u);

    char name[midi::kNameSize];
    ASSERT_EQ(dev.InGetDevCaps(0, name), midi::kNoError);
    EXPECT_STREQ(name, "Key A");
    ASSERT_EQ(dev.InGetDevCaps(1, name), midi::kNoError);
    EXPECT_EQ(std::string(name), std::string(31, 'x'));
    ASSERT_EQ(dev.InGetDevCaps(2, name), midi::kNoError);
    EXPECT_EQ(std::string(name), std::string(30, 'y'));
    ASSERT_EQ(dev.OutGetDevCaps(0, name), midi::kNoError);
    EXPECT_STREQ(name, "Synth A");

    std::strcpy(name, "untouched");
    EXPECT_EQ(dev.InGetDevCaps(3, name), midi::kBadDeviceId);
    EXPECT_EQ(dev.OutGetDevCaps(1, name), midi::kBadDeviceId);
    dev.SetInCapsResult(0, midi::kError);
    dev.SetOutCapsResult(0, midi::kNoMem);
    EXPECT_EQ(dev.InGetDevCaps(0, name), midi::kError);
    EXPECT_EQ(dev.OutGetDevCaps(0, name), midi::kNoMem);
    EXPECT_STREQ(name, "untouched");
    dev.SetInCapsResult(0, midi::kNoError);
    EXPECT_EQ(dev.InGetDevCaps(0, name), midi::kNoError);
    EXPECT_STREQ(name, "Key A");
}

TEST(VirtualMidiConfig, ParsesDriverModels) {
    using M = DriverModel;
    struct Case {
        const char* text;
        std::vector<std::string> in, out;
        M model;
        std::vector<M> inModels, outModels;  // resolved, one per device
    } cases[] = {
        {"in=Keys A,Keys B;out=Synth A@classic,Synth B;model=classic-sync", {"Keys A", "Keys B"}, {"Synth A", "Synth B"},
         M::ClassicSync, {M::ClassicSync, M::ClassicSync}, {M::Classic, M::ClassicSync}},
        {" model = classic ; in=K @ ideal,L;out=S@ classic-sync ", {"K", "L"}, {"S"}, M::Classic, {M::Ideal, M::Classic},
         {M::ClassicSync}},
        {"in=K;out=S", {"K"}, {"S"}, M::Ideal, {M::Ideal}, {M::Ideal}},
    };
    for (const Case& c : cases) {
        VirtualMidi::Config cfg;
        ASSERT_TRUE(VirtualMidi::ParseConfig(c.text, &cfg)) << c.text;
        EXPECT_EQ(cfg.inputs, c.in) << c.text;
        EXPECT_EQ(cfg.outputs, c.out) << c.text;
        EXPECT_EQ(cfg.model, c.model) << c.text;
        for (size_t i = 0; i < c.inModels.size(); ++i) EXPECT_EQ(cfg.InModel(i), c.inModels[i]) << c.text << " in " << i;
        for (size_t i = 0; i < c.outModels.size(); ++i) EXPECT_EQ(cfg.OutModel(i), c.outModels[i]) << c.text << " out " << i;
    }
}

// ---- opening ----------------------------------------------------------------------

TEST(VirtualMidiOpen, FirstAndSecondOpenResults) {
    struct Case {
        const char* what;
        bool input;
        uint32_t id;
        std::function<void(VirtualMidi&)> arrange;
        Result first, second;
    } cases[] = {
        {"input, default", true, 0, [](VirtualMidi&) {}, midi::kNoError, midi::kAllocated},
        {"output, default", false, 0, [](VirtualMidi&) {}, midi::kNoError, midi::kNoError},
        {"input, shared", true, 1, [](VirtualMidi& d) { d.SetInExclusive(1, false); }, midi::kNoError, midi::kNoError},
        {"output, exclusive", false, 1, [](VirtualMidi& d) { d.SetOutExclusive(1, true); }, midi::kNoError, midi::kAllocated},
        {"input, in use elsewhere", true, 0, [](VirtualMidi& d) { d.SetInOpenResult(0, midi::kAllocated); }, midi::kAllocated, midi::kAllocated},
        {"input, broken", true, 1, [](VirtualMidi& d) { d.SetInOpenResult(1, midi::kError); }, midi::kError, midi::kError},
        {"output, broken", false, 0, [](VirtualMidi& d) { d.SetOutOpenResult(0, midi::kError); }, midi::kError, midi::kError},
        {"input, no such device", true, 2, [](VirtualMidi&) {}, midi::kBadDeviceId, midi::kBadDeviceId},
        {"output, no such device", false, 2, [](VirtualMidi&) {}, midi::kBadDeviceId, midi::kBadDeviceId},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualMidi dev(TwoByTwo());
        Collector col;
        c.arrange(dev);
        InHandle in[2] = {};
        OutHandle out[2] = {};
        Result r[2];
        for (int i = 0; i < 2; ++i)
            r[i] = c.input ? dev.InOpen(&in[i], c.id, &Collector::Callback, col.Instance(), kOpenFlags)
                           : dev.OutOpen(&out[i], c.id, nullptr, 0);
        EXPECT_EQ(r[0], c.first);
        EXPECT_EQ(r[1], c.second);
        const int opened = (r[0] == midi::kNoError) + (r[1] == midi::kNoError);
        EXPECT_EQ(c.input ? dev.InOpenCount(c.id) : dev.OutOpenCount(c.id), opened);
        if (opened == 2) {
            EXPECT_NE(c.input ? static_cast<void*>(in[0]) : out[0], c.input ? static_cast<void*>(in[1]) : out[1]);
        }
        for (int i = 0; i < 2; ++i) {
            if (r[i] != midi::kNoError) continue;
            EXPECT_EQ(c.input ? dev.InClose(in[i]) : dev.OutClose(out[i]), midi::kNoError);
        }
        EXPECT_FALSE(c.input ? dev.IsInOpen(c.id) : dev.IsOutOpen(c.id));
        // A refused device opens again once it is free, and only then.
        if (c.first == midi::kNoError) {
            Result again = c.input ? dev.InOpen(&in[0], c.id, &Collector::Callback, col.Instance(), kOpenFlags)
                                   : dev.OutOpen(&out[0], c.id, nullptr, 0);
            EXPECT_EQ(again, midi::kNoError);
            EXPECT_EQ(c.input ? dev.InOpensTotal(c.id) : dev.OutOpensTotal(c.id), static_cast<uint64_t>(opened + 1));
        }
    }
}

TEST(VirtualMidiOpen, InputNeedsACallbackFunction) {
    VirtualMidi dev(TwoByTwo());
    Collector col;
    InHandle h = nullptr;
    EXPECT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), 0), midi::kInvalFlag);
    EXPECT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), 0x10000), midi::kInvalFlag);  // a window
    EXPECT_EQ(dev.InOpen(&h, 0, nullptr, col.Instance(), kOpenFlags), midi::kInvalParam);
    EXPECT_EQ(dev.InOpen(nullptr, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kInvalParam);
    EXPECT_FALSE(dev.IsInOpen(0));
    OutHandle o = nullptr;
    EXPECT_EQ(dev.OutOpen(nullptr, 0, nullptr, 0), midi::kInvalParam);
    EXPECT_EQ(dev.OutOpen(&o, 0, nullptr, 0), midi::kNoError);

    ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
    ASSERT_EQ(dev.InClose(h), midi::kNoError);
    const auto calls = col.Of(midi::kMimOpen);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(col.Of(midi::kMimClose).size(), 1u);
}

TEST(VirtualMidiOpen, ClosedOrForeignHandlesAreInvalid) {
    VirtualMidi dev(TwoByTwo());
    Collector col;
    InHandle in = nullptr;
    OutHandle out = nullptr;
    ASSERT_EQ(dev.InOpen(&in, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
    ASSERT_EQ(dev.OutOpen(&out, 0, nullptr, 0), midi::kNoError);
    // An output handle is no input handle, and the reverse.
    EXPECT_EQ(dev.InStart(reinterpret_cast<InHandle>(out)), midi::kInvalHandle);
    EXPECT_EQ(dev.OutShortMsg(reinterpret_cast<OutHandle>(in), 0x90), midi::kInvalHandle);
    ASSERT_EQ(dev.InClose(in), midi::kNoError);
    ASSERT_EQ(dev.OutClose(out), midi::kNoError);

    Buffer b(16);
    const std::pair<const char*, std::function<Result()>> calls[] = {
        {"InStart", [&] { return dev.InStart(in); }},
        {"InStop", [&] { return dev.InStop(in); }},
        {"InReset", [&] { return dev.InReset(in); }},
        {"InClose", [&] { return dev.InClose(in); }},
        {"InPrepareHeader", [&] { return dev.InPrepareHeader(in, &b.hdr, sizeof(Header)); }},
        {"InUnprepareHeader", [&] { return dev.InUnprepareHeader(in, &b.hdr, sizeof(Header)); }},
        {"InAddBuffer", [&] { return dev.InAddBuffer(in, &b.hdr, sizeof(Header)); }},
        {"OutClose", [&] { return dev.OutClose(out); }},
        {"OutReset", [&] { return dev.OutReset(out); }},
        {"OutShortMsg", [&] { return dev.OutShortMsg(out, 0x90); }},
        {"OutPrepareHeader", [&] { return dev.OutPrepareHeader(out, &b.hdr, sizeof(Header)); }},
        {"OutLongMsg", [&] { return dev.OutLongMsg(out, &b.hdr, sizeof(Header)); }},
        {"OutUnprepareHeader", [&] { return dev.OutUnprepareHeader(out, &b.hdr, sizeof(Header)); }},
        {"null input", [&] { return dev.InStart(nullptr); }},
        {"null output", [&] { return dev.OutShortMsg(nullptr, 0x90); }},
    };
    for (const auto& c : calls) EXPECT_EQ(c.second(), midi::kInvalHandle) << c.first;
    EXPECT_EQ(dev.OutRecordSize(0), 0u);
}

// ---- input ------------------------------------------------------------------------

TEST(VirtualMidiInput, ShortMessagesArriveInOrderOnTheDeliveryThread) {
    VirtualMidi dev(TwoByTwo());
    Collector col;
    InHandle h = nullptr;
    ASSERT_EQ(dev.InOpen(&h, 1, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
    ASSERT_EQ(dev.InStart(h), midi::kNoError);
    constexpr uint32_t kCount = 2000;
    for (uint32_t i = 0; i < kCount; ++i) ASSERT_TRUE(dev.SendShort(1, 0x400090 | ((i & 0x7F) << 8) | (i >> 7) << 24));
    ASSERT_TRUE(col.WaitForData(kCount));
    const auto data = col.Data();
    ASSERT_EQ(data.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(data[i].msg, midi::kMimData);
        ASSERT_EQ(data[i].param1, 0x400090u | ((i & 0x7F) << 8) | (i >> 7) << 24) << i;
        ASSERT_NE(data[i].thread, std::this_thread::get_id());
        ASSERT_EQ(data[i].thread, data[0].thread);
        if (i > 0) {
            ASSERT_GE(data[i].param2, data[i - 1].param2);
        }
    }
    EXPECT_EQ(dev.InDropCounts(1).shortMessages, 0u);
    EXPECT_EQ(dev.InDropCounts(0).shortMessages, 0u);
    EXPECT_EQ(dev.InClose(h), midi::kNoError);
}

TEST(VirtualMidiInput, InputOutsideStartIsDroppedAndCounted) {
    VirtualMidi dev(TwoByTwo());
    Collector col;
    const uint8_t sx[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    EXPECT_FALSE(dev.SendShort(0, 0x90));  // not open
    EXPECT_FALSE(dev.SendShort(7, 0x90));  // no such device: nothing to count on
    InHandle h = nullptr;
    ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
    EXPECT_FALSE(dev.SendShort(0, 0x91));  // open, not started
    EXPECT_FALSE(dev.SendSysEx(0, sx, sizeof sx));
    ASSERT_EQ(dev.InStart(h), midi::kNoError);
    EXPECT_TRUE(dev.SendShort(0, 0x92));
    ASSERT_TRUE(col.WaitForData(1));
    ASSERT_EQ(dev.InStop(h), midi::kNoError);
    EXPECT_FALSE(dev.SendShort(0, 0x93));  // stopped
    ASSERT_EQ(dev.InStart(h), midi::kNoError);
    EXPECT_TRUE(dev.SendShort(0, 0x94));
    EXPECT_TRUE(dev.SendSysEx(0, sx, sizeof sx));  // started, but no buffer queued
    ASSERT_TRUE(col.WaitForData(2));
    ASSERT_EQ(dev.InStop(h), midi::kNoError);

    const auto data = col.Data();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].param1, 0x92u);
    EXPECT_EQ(data[1].param1, 0x94u);
    const VirtualMidi::InDrops d = dev.InDropCounts(0);
    EXPECT_EQ(d.shortMessages, 3u);
    EXPECT_EQ(d.sysExMessages, 2u);
    EXPECT_EQ(d.sysExBytes, 2 * sizeof sx);
    EXPECT_EQ(dev.InDropCounts(1).shortMessages, 0u);
    EXPECT_EQ(dev.InClose(h), midi::kNoError);
}

TEST(VirtualMidiInput, SysExFillsQueuedBuffersInOrderBetweenShortMessages) {
    VirtualMidi dev(TwoByTwo());
    Collector col;
    InHandle h = nullptr;
    ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
    // Different lengths show that each buffer takes up to its own length.
    Buffer b[3] = {Buffer(256), Buffer(100), Buffer(256)};
    for (Buffer& x : b) {
        ASSERT_EQ(dev.InPrepareHeader(h, &x.hdr, sizeof(Header)), midi::kNoError);
        ASSERT_EQ(dev.InAddBuffer(h, &x.hdr, sizeof(Header)), midi::kNoError);
        EXPECT_EQ(midi::LoadFlags(x.hdr), midi::kMhdrPrepared | midi::kMhdrInQueue);
    }
    EXPECT_EQ(dev.InQueuedCount(0), 3u);
    ASSERT_EQ(dev.InStart(h), midi::kNoError);
    const std::vector<uint8_t> sx = Pattern(600, 3);
    ASSERT_TRUE(dev.SendShort(0, 0x3C90));
    ASSERT_TRUE(dev.SendSysEx(0, sx.data(), sx.size()));
    ASSERT_TRUE(dev.SendShort(0, 0x3C80));
    ASSERT_TRUE(col.WaitForData(5));

    const auto data = col.Data();
    ASSERT_EQ(data.size(), 5u);
    EXPECT_EQ(data[0].msg, midi::kMimData);
    EXPECT_EQ(data[0].param1, 0x3C90u);
    const uint32_t lengths[3] = {256, 100, 244};
    size_t offset = 0;
    for (int i = 0; i < 3; ++i) {
        const auto& c = data[1 + i];
        EXPECT_EQ(c.msg, midi::kMimLongData) << i;
        EXPECT_EQ(c.param1, reinterpret_cast<uintptr_t>(&b[i].hdr)) << i;
        EXPECT_EQ(c.flags, midi::kMhdrPrepared | midi::kMhdrDone) << i;
        EXPECT_EQ(c.recorded, lengths[i]) << i;
        EXPECT_EQ(c.data, std::vector<uint8_t>(sx.begin() + offset, sx.begin() + offset + lengths[i])) << i;
        EXPECT_NE(c.thread, std::this_thread::get_id());
        offset += lengths[i];
    }
    EXPECT_EQ(data[4].msg, midi::kMimData);
    EXPECT_EQ(data[4].param1, 0x3C80u);
    EXPECT_EQ(dev.InQueuedCount(0), 0u);
    EXPECT_EQ(dev.InDropCounts(0).sysExBytes, 0u);

    // Longer than what is queued: the rest is lost and counted.
    ASSERT_EQ(dev.InAddBuffer(h, &b[1].hdr, sizeof(Header)), midi::kNoError);
    ASSERT_TRUE(dev.SendSysEx(0, sx.data(), 130));
    ASSERT_TRUE(col.WaitForData(6));
    EXPECT_EQ(col.Data()[5].recorded, 100u);
    ASSERT_EQ(dev.InStop(h), midi::kNoError);  // waits out the drop count too
    EXPECT_EQ(dev.InDropCounts(0).sysExMessages, 1u);
    EXPECT_EQ(dev.InDropCounts(0).sysExBytes, 30u);
    for (Buffer& x : b) EXPECT_EQ(dev.InUnprepareHeader(h, &x.hdr, sizeof(Header)), midi::kNoError);
    EXPECT_EQ(dev.InPreparedCount(0), 0u);
    EXPECT_EQ(dev.InClose(h), midi::kNoError);
}

TEST(VirtualMidiInput, StopKeepsBuffersAndResetHandsEveryOneBackEmpty) {
    VirtualMidi dev(TwoByTwo());
    Collector col;
    InHandle h = nullptr;
    ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
    Buffer b[4] = {Buffer(64), Buffer(64), Buffer(64), Buffer(64)};
    for (Buffer& x : b) {
        x.hdr.dwBytesRecorded = 99;
        ASSERT_EQ(dev.InPrepareHeader(h, &x.hdr, sizeof(Header)), midi::kNoError);
    }
    // Queue order differs from array order: 2, 0, 3, 1.
    const int order[4] = {2, 0, 3, 1};
    for (int i : order) ASSERT_EQ(dev.InAddBuffer(h, &b[i].hdr, sizeof(Header)), midi::kNoError);
    ASSERT_EQ(dev.InStart(h), midi::kNoError);
    ASSERT_EQ(dev.InStop(h), midi::kNoError);
    EXPECT_EQ(dev.InQueuedCount(0), 4u);
    EXPECT_EQ(dev.InClose(h), midi::kStillPlaying);
    EXPECT_TRUE(dev.IsInOpen(0));
    EXPECT_EQ(dev.InUnprepareHeader(h, &b[0].hdr, sizeof(Header)), midi::kStillPlaying);
    for (Buffer& x : b) x.hdr.dwBytesRecorded = 99;  // the caller's memory; the device must write it

    ASSERT_EQ(dev.InReset(h), midi::kNoError);
    // Handed back before InReset returned, no waiting.
    const auto back = col.Of(midi::kMimLongData);
    ASSERT_EQ(back.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(back[i].param1, reinterpret_cast<uintptr_t>(&b[order[i]].hdr)) << i;
        EXPECT_EQ(back[i].recorded, 0u) << i;
        EXPECT_EQ(back[i].flags, midi::kMhdrPrepared | midi::kMhdrDone) << i;
    }
    EXPECT_EQ(dev.InQueuedCount(0), 0u);
    EXPECT_FALSE(dev.SendShort(0, 0x90));  // reset stops input
    EXPECT_EQ(dev.InClose(h), midi::kNoError);
    EXPECT_FALSE(dev.IsInOpen(0));
    // Prepared headers outlive the handle: a leak shows.
    EXPECT_EQ(dev.InPreparedCount(0), 4u);
}

TEST(VirtualMidiInput, HeaderResultCodes) {
    VirtualMidi dev(TwoByTwo());
    Collector col;
    InHandle h = nullptr;
    ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
    Buffer b(32);
    Header noData{};
    noData.dwBufferLength = 32;
    EXPECT_EQ(dev.InAddBuffer(h, &b.hdr, sizeof(Header)), midi::kUnprepared);
    EXPECT_EQ(dev.InPrepareHeader(h, &noData, sizeof(Header)), midi::kInvalParam);
    EXPECT_EQ(dev.InPrepareHeader(h, &b.hdr, sizeof(Header) - 1), midi::kInvalParam);
    EXPECT_EQ(dev.InPrepareHeader(h, nullptr, sizeof(Header)), midi::kInvalParam);
    EXPECT_EQ(dev.InPreparedCount(0), 0u);
    ASSERT_EQ(dev.InPrepareHeader(h, &b.hdr, sizeof(Header)), midi::kNoError);
    EXPECT_EQ(midi::LoadFlags(b.hdr), midi::kMhdrPrepared);
    EXPECT_EQ(dev.InPrepareHeader(h, &b.hdr, sizeof(Header)), midi::kNoError);  // again: no change
    EXPECT_EQ(dev.InPreparedCount(0), 1u);
    b.hdr.dwBufferLength = 0;
    EXPECT_EQ(dev.InAddBuffer(h, &b.hdr, sizeof(Header)), midi::kInvalParam);
    b.hdr.dwBufferLength = 32;
    ASSERT_EQ(dev.InAddBuffer(h, &b.hdr, sizeof(Header)), midi::kNoError);
    EXPECT_EQ(dev.InAddBuffer(h, &b.hdr, sizeof(Header)), midi::kStillPlaying);
    EXPECT_EQ(dev.InUnprepareHeader(h, &b.hdr, sizeof(Header)), midi::kStillPlaying);
    EXPECT_EQ(dev.InQueuedCount(0), 1u);
    ASSERT_EQ(dev.InReset(h), midi::kNoError);
    ASSERT_EQ(dev.InUnprepareHeader(h, &b.hdr, sizeof(Header)), midi::kNoError);
    EXPECT_EQ(midi::LoadFlags(b.hdr), midi::kMhdrDone);
    EXPECT_EQ(dev.InPreparedCount(0), 0u);
    EXPECT_EQ(dev.InAddBuffer(h, &b.hdr, sizeof(Header)), midi::kUnprepared);
    EXPECT_EQ(dev.InClose(h), midi::kNoError);
}

// The engine closes its wake event as soon as InStop/InReset/InClose return, so a
// callback still running then (or starting later) would touch a closed handle. The
// callback checks on entry and again after some work that the device was not
// stopped meanwhile, while another thread keeps feeding.
TEST(VirtualMidiInput, NoCallbackRunsAfterStopResetOrCloseReturns) {
    enum Way { kStop, kReset, kClose };
    for (Way way : {kStop, kReset, kClose}) {
        SCOPED_TRACE(way == kStop ? "stop" : way == kReset ? "reset" : "close");
        VirtualMidi dev(TwoByTwo());
        static std::atomic<bool> stopped;
        static std::atomic<int> late;
        static std::atomic<int> delivered;
        stopped = true;
        late = 0;
        delivered = 0;
        auto cb = [](InHandle, uint32_t msg, uintptr_t, uintptr_t, uintptr_t) {
            if (msg != midi::kMimData && msg != midi::kMimLongData) return;
            if (stopped.load()) ++late;
            auto until = std::chrono::steady_clock::now() + 20us;
            while (std::chrono::steady_clock::now() < until) {
            }
            if (stopped.load()) ++late;
            ++delivered;
        };
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            const uint8_t sx[] = {0xF0, 0x01, 0xF7};
            uint32_t i = 0;
            while (feeding.load()) {
                if (++i % 8 == 0) dev.SendSysEx(0, sx, sizeof sx);
                else dev.SendShort(0, 0x90 | (i & 0x7F) << 8);
            }
        });
        InHandle h = nullptr;
        Buffer buf[4] = {Buffer(8), Buffer(8), Buffer(8), Buffer(8)};
        for (int round = 0; round < 150; ++round) {
            if (h == nullptr) {
                ASSERT_EQ(dev.InOpen(&h, 0, cb, 0, kOpenFlags), midi::kNoError);
                for (Buffer& b : buf) ASSERT_EQ(dev.InPrepareHeader(h, &b.hdr, sizeof(Header)), midi::kNoError);
            }
            for (Buffer& b : buf)
                if (!(midi::LoadFlags(b.hdr) & midi::kMhdrInQueue)) dev.InAddBuffer(h, &b.hdr, sizeof(Header));
            stopped = false;
            const int before = delivered.load();
            ASSERT_EQ(dev.InStart(h), midi::kNoError);
            // Stop only once data flows, so that every round stops a busy device
            // (a slow thread start, as under Wine, would otherwise leave it idle).
            const auto giveUp = std::chrono::steady_clock::now() + kWait;
            while (delivered.load() == before) {
                ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << "round " << round;
                std::this_thread::sleep_for(20us);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50 * (round % 7)));
            Result r = way == kStop ? dev.InStop(h) : dev.InReset(h);
            ASSERT_EQ(r, midi::kNoError);
            if (way == kClose) {
                for (Buffer& b : buf) ASSERT_EQ(dev.InUnprepareHeader(h, &b.hdr, sizeof(Header)), midi::kNoError);
                ASSERT_EQ(dev.InClose(h), midi::kNoError);
                h = nullptr;
            }
            stopped = true;
            std::this_thread::sleep_for(100us);
        }
        feeding = false;
        feeder.join();
        EXPECT_EQ(late.load(), 0);
        if (h) {
            dev.InReset(h);
            EXPECT_EQ(dev.InClose(h), midi::kNoError);
        }
    }
}

// winmm forbids most device calls inside a callback, but a stop from there must not
// hang: neither on the delivery thread nor in the hand-back of a reset, which runs
// on the thread that called InReset.
TEST(VirtualMidiInput, CallbackMayStopOrResetItsOwnDeviceButNotCloseIt) {
    VirtualMidi dev(TwoByTwo());
    Collector col;
    std::atomic<Result> closeInData{midi::kNoError}, resetInData{midi::kError};
    std::atomic<Result> closeInLong{midi::kNoError}, stopInLong{midi::kError};
    col.onCall = [&](InHandle h, uint32_t msg) {
        if (msg == midi::kMimData) {
            closeInData = dev.InClose(h);
            resetInData = dev.InReset(h);
        } else if (msg == midi::kMimLongData) {
            closeInLong = dev.InClose(h);
            stopInLong = dev.InStop(h);
        }
    };
    InHandle h = nullptr;
    ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
    ASSERT_EQ(dev.InStart(h), midi::kNoError);
    ASSERT_TRUE(dev.SendShort(0, 0x90));
    ASSERT_TRUE(col.WaitForData(1));
    ASSERT_EQ(dev.InStop(h), midi::kNoError);  // would hang if the callback had deadlocked
    EXPECT_EQ(closeInData.load(), midi::kError);
    EXPECT_EQ(resetInData.load(), midi::kNoError);
    EXPECT_FALSE(dev.SendShort(0, 0x90));  // the reset inside the callback stopped input

    Buffer b(16);
    ASSERT_EQ(dev.InPrepareHeader(h, &b.hdr, sizeof(Header)), midi::kNoError);
    ASSERT_EQ(dev.InAddBuffer(h, &b.hdr, sizeof(Header)), midi::kNoError);
    ASSERT_EQ(dev.InReset(h), midi::kNoError);
    ASSERT_EQ(col.Of(midi::kMimLongData).size(), 1u);
    EXPECT_EQ(closeInLong.load(), midi::kError);
    EXPECT_EQ(stopInLong.load(), midi::kNoError);
    EXPECT_TRUE(dev.IsInOpen(0));
    EXPECT_EQ(dev.InUnprepareHeader(h, &b.hdr, sizeof(Header)), midi::kNoError);
    EXPECT_EQ(dev.InClose(h), midi::kNoError);
}

TEST(VirtualMidiInput, SharedInputFeedsEveryHandleOnItsOwnThread) {
    VirtualMidi dev(TwoByTwo());
    dev.SetInExclusive(0, false);
    Collector a, b;
    InHandle ha = nullptr, hb = nullptr;
    ASSERT_EQ(dev.InOpen(&ha, 0, &Collector::Callback, a.Instance(), kOpenFlags), midi::kNoError);
    ASSERT_EQ(dev.InOpen(&hb, 0, &Collector::Callback, b.Instance(), kOpenFlags), midi::kNoError);
    ASSERT_EQ(dev.InStart(ha), midi::kNoError);
    EXPECT_TRUE(dev.SendShort(0, 0x10B0));  // only a is started
    ASSERT_EQ(dev.InStart(hb), midi::kNoError);
    EXPECT_TRUE(dev.SendShort(0, 0x11B0));
    ASSERT_TRUE(a.WaitForData(2));
    ASSERT_TRUE(b.WaitForData(1));
    EXPECT_EQ(a.Data()[1].param1, 0x11B0u);
    ASSERT_EQ(b.Data().size(), 1u);
    EXPECT_EQ(b.Data()[0].param1, 0x11B0u);
    EXPECT_NE(a.Data()[0].thread, b.Data()[0].thread);
    EXPECT_EQ(dev.InClose(ha), midi::kNoError);
    EXPECT_TRUE(dev.IsInOpen(0));
    EXPECT_EQ(dev.InClose(hb), midi::kNoError);
}

TEST(VirtualMidiInput, CallbackLogStampsDataCallbacksWhenEnabled) {
    VirtualMidi dev(TwoByTwo());
    Collector col;
    InHandle h = nullptr;
    ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
    ASSERT_EQ(dev.InStart(h), midi::kNoError);
    dev.SendShort(0, 0x90);
    ASSERT_TRUE(col.WaitForData(1));
    EXPECT_TRUE(dev.CallbackLog(0).empty());  // off by default

    dev.EnableCallbackLog(0, 5);
    const int64_t before = VirtualMidi::NowNs();
    for (int i = 0; i < 8; ++i) dev.SendShort(0, 0x90);
    ASSERT_TRUE(col.WaitForData(9));
    ASSERT_EQ(dev.InStop(h), midi::kNoError);
    const int64_t after = VirtualMidi::NowNs();
    const auto log = dev.CallbackLog(0);
    ASSERT_EQ(log.size(), 5u);  // capped at the capacity
    EXPECT_GE(log.front(), before);
    EXPECT_LE(log.back(), after);
    for (size_t i = 1; i < log.size(); ++i) EXPECT_GE(log[i], log[i - 1]);
    dev.EnableCallbackLog(0, 0);
    EXPECT_TRUE(dev.CallbackLog(0).empty());
    EXPECT_EQ(dev.InClose(h), midi::kNoError);
}

// ---- output -----------------------------------------------------------------------

TEST(VirtualMidiOutput, RecordsShortAndLongMessagesInOrderPerDevice) {
    VirtualMidi dev(TwoByTwo());
    OutHandle o0 = nullptr, o1 = nullptr, o0b = nullptr;
    ASSERT_EQ(dev.OutOpen(&o0, 0, nullptr, 0), midi::kNoError);
    ASSERT_EQ(dev.OutOpen(&o0b, 0, nullptr, 0), midi::kNoError);  // a second client of the same output
    ASSERT_EQ(dev.OutOpen(&o1, 1, nullptr, 0), midi::kNoError);
    const std::vector<uint8_t> gm = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    std::vector<char> bytes(gm.begin(), gm.end());
    Header hdr{};
    hdr.lpData = bytes.data();
    hdr.dwBufferLength = static_cast<uint32_t>(bytes.size());
    hdr.dwFlags = midi::kMhdrDone;

    EXPECT_EQ(dev.OutShortMsg(o0, 0x403C90), midi::kNoError);
    EXPECT_EQ(dev.OutLongMsg(o0, &hdr, sizeof(Header)), midi::kUnprepared);
    ASSERT_EQ(dev.OutPrepareHeader(o0, &hdr, sizeof(Header)), midi::kNoError);
    EXPECT_EQ(midi::LoadFlags(hdr), midi::kMhdrDone | midi::kMhdrPrepared);
    EXPECT_EQ(dev.OutPreparedCount(0), 1u);
    EXPECT_EQ(dev.OutShortMsg(o1, 0x7BB0), midi::kNoError);
    ASSERT_EQ(dev.OutLongMsg(o0, &hdr, sizeof(Header)), midi::kNoError);
    EXPECT_EQ(midi::LoadFlags(hdr), midi::kMhdrDone | midi::kMhdrPrepared);  // completed at once
    EXPECT_EQ(dev.OutShortMsg(o0b, 0x003C80), midi::kNoError);
    ASSERT_EQ(dev.OutUnprepareHeader(o0, &hdr, sizeof(Header)), midi::kNoError);
    EXPECT_EQ(midi::LoadFlags(hdr), midi::kMhdrDone);
    EXPECT_EQ(dev.OutPreparedCount(0), 0u);

    const auto rec = dev.OutRecord(0);
    ASSERT_EQ(rec.size(), 3u);
    EXPECT_FALSE(rec[0].isLong);
    EXPECT_EQ(rec[0].shortMsg, 0x403C90u);
    EXPECT_TRUE(rec[1].isLong);
    EXPECT_EQ(rec[1].bytes, gm);
    EXPECT_FALSE(rec[2].isLong);
    EXPECT_EQ(rec[2].shortMsg, 0x003C80u);
    EXPECT_LE(rec[0].timeNs, rec[1].timeNs);
    EXPECT_LE(rec[1].timeNs, rec[2].timeNs);
    const auto rec1 = dev.OutRecord(1);
    ASSERT_EQ(rec1.size(), 1u);
    EXPECT_EQ(rec1[0].shortMsg, 0x7BB0u);

    EXPECT_FALSE(dev.WaitForOutEvents(0, 4, 20ms));
    EXPECT_TRUE(dev.WaitForOutEvents(0, 3, 0ms));
    dev.ClearOutRecord(0);
    EXPECT_EQ(dev.OutRecordSize(0), 0u);
    EXPECT_EQ(dev.OutRecordSize(1), 1u);
    for (OutHandle o : {o0, o0b, o1}) EXPECT_EQ(dev.OutClose(o), midi::kNoError);
}

TEST(VirtualMidiOutput, ConcurrentSendersKeepTheirOrderAndTimesNeverGoBack) {
    VirtualMidi dev(TwoByTwo());
    OutHandle o = nullptr;
    ASSERT_EQ(dev.OutOpen(&o, 0, nullptr, 0), midi::kNoError);
    constexpr uint32_t kEach = 5000;
    auto send = [&](uint32_t status) {
        for (uint32_t i = 0; i < kEach; ++i) dev.OutShortMsg(o, status | (i & 0x7F) << 8 | (i >> 7) << 16);
    };
    std::thread a(send, 0x90), b(send, 0x80);
    a.join();
    b.join();
    const auto rec = dev.OutRecord(0);
    ASSERT_EQ(rec.size(), 2 * kEach);
    uint32_t next[2] = {0, 0};
    for (size_t i = 0; i < rec.size(); ++i) {
        if (i > 0) {
            ASSERT_GE(rec[i].timeNs, rec[i - 1].timeNs) << i;
        }
        const int who = (rec[i].shortMsg & 0xF0) == 0x90 ? 0 : 1;
        const uint32_t n = next[who]++;
        ASSERT_EQ(rec[i].shortMsg >> 8, (n & 0x7F) | (n >> 7) << 8) << i;
    }
    EXPECT_EQ(dev.OutClose(o), midi::kNoError);
}

// Some drivers finish a long send after midiOutLongMsg has returned; until then
// the header may be neither unprepared nor reused, and the device cannot close.
TEST(VirtualMidiOutput, LateLongSendCompletesOnAnotherThreadInOrder) {
    VirtualMidi dev(TwoByTwo());
    dev.SetOutLongDelay(1, 60ms);
    OutHandle o = nullptr;
    ASSERT_EQ(dev.OutOpen(&o, 1, nullptr, 0), midi::kNoError);
    std::vector<std::vector<char>> data = {{'\xF0', 1, '\xF7'}, {'\xF0', 2, 2, '\xF7'}};
    Header hdr[2] = {};
    for (int i = 0; i < 2; ++i) {
        hdr[i].lpData = data[i].data();
        hdr[i].dwBufferLength = static_cast<uint32_t>(data[i].size());
        ASSERT_EQ(dev.OutPrepareHeader(o, &hdr[i], sizeof(Header)), midi::kNoError);
    }
    const int64_t sent = VirtualMidi::NowNs();
    ASSERT_EQ(dev.OutLongMsg(o, &hdr[0], sizeof(Header)), midi::kNoError);
    ASSERT_EQ(dev.OutLongMsg(o, &hdr[1], sizeof(Header)), midi::kNoError);
    EXPECT_EQ(dev.OutLongMsg(o, &hdr[0], sizeof(Header)), midi::kStillPlaying);
    EXPECT_EQ(midi::LoadFlags(hdr[0]) & midi::kMhdrDone, 0u);
    EXPECT_EQ(dev.OutUnprepareHeader(o, &hdr[0], sizeof(Header)), midi::kStillPlaying);
    EXPECT_EQ(dev.OutClose(o), midi::kStillPlaying);
    EXPECT_TRUE(dev.IsOutOpen(1));
    EXPECT_EQ(dev.OutPendingCount(1), 2u);
    EXPECT_EQ(dev.OutShortMsg(o, 0x90), midi::kNoError);  // short messages do not wait

    ASSERT_TRUE(dev.WaitForOutEvents(1, 3, kWait));
    for (Header& h : hdr) EXPECT_NE(midi::LoadFlags(h) & midi::kMhdrDone, 0u);
    const auto rec = dev.OutRecord(1);
    EXPECT_FALSE(rec[0].isLong);
    EXPECT_EQ(rec[1].bytes, std::vector<uint8_t>(data[0].begin(), data[0].end()));
    EXPECT_EQ(rec[2].bytes, std::vector<uint8_t>(data[1].begin(), data[1].end()));
    EXPECT_GE(rec[1].timeNs - sent, 60'000'000);
    for (Header& h : hdr) EXPECT_EQ(dev.OutUnprepareHeader(o, &h, sizeof(Header)), midi::kNoError);
    EXPECT_EQ(dev.OutClose(o), midi::kNoError);
}

TEST(VirtualMidiOutput, ResetEndsPendingSendsAtOnceAndRecordsNothing) {
    VirtualMidi dev(TwoByTwo());
    dev.SetOutLongDelay(0, 3600s);
    OutHandle o = nullptr;
    ASSERT_EQ(dev.OutOpen(&o, 0, nullptr, 0), midi::kNoError);
    std::vector<char> data = {'\xF0', 0x41, '\xF7'};
    Header hdr[2] = {};
    for (Header& h : hdr) {
        h.lpData = data.data();
        h.dwBufferLength = 3;
        ASSERT_EQ(dev.OutPrepareHeader(o, &h, sizeof(Header)), midi::kNoError);
        ASSERT_EQ(dev.OutLongMsg(o, &h, sizeof(Header)), midi::kNoError);
    }
    EXPECT_EQ(dev.OutPendingCount(0), 2u);
    ASSERT_EQ(dev.OutReset(o), midi::kNoError);
    for (Header& h : hdr) EXPECT_EQ(midi::LoadFlags(h), midi::kMhdrDone | midi::kMhdrPrepared);
    EXPECT_EQ(dev.OutPendingCount(0), 0u);
    EXPECT_EQ(dev.OutRecordSize(0), 0u);
    for (Header& h : hdr) EXPECT_EQ(dev.OutUnprepareHeader(o, &h, sizeof(Header)), midi::kNoError);
    EXPECT_EQ(dev.OutClose(o), midi::kNoError);  // does not wait for the hour
}

// ---- output callbacks ---------------------------------------------------------------

// Everything an output callback saw, with the done flag of a kMomDone header as it
// was when the callback ran.
struct OutCalls {
    struct Call {
        uint32_t msg;
        uintptr_t param1;
        std::thread::id thread;
        bool headerDone;
    };
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Call> calls;
    std::function<void(OutHandle, uint32_t)> onCall;  // runs on the calling thread, unlocked

    static void Callback(OutHandle h, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t) {
        auto* self = reinterpret_cast<OutCalls*>(instance);
        const bool done = msg == midi::kMomDone && (midi::LoadFlags(*reinterpret_cast<Header*>(p1)) & midi::kMhdrDone);
        if (self->onCall) self->onCall(h, msg);
        std::lock_guard<std::mutex> g(self->mu);
        self->calls.push_back(Call{msg, p1, std::this_thread::get_id(), done});
        self->cv.notify_all();
    }
    uintptr_t Instance() { return reinterpret_cast<uintptr_t>(this); }
    std::vector<Call> All() {
        std::lock_guard<std::mutex> g(mu);
        return calls;
    }
    bool WaitFor(size_t n) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, kWait, [&] { return calls.size() >= n; });
    }
};

// Per model: whether a long send completes inside OutLongMsg (kMomDone from the
// sender's thread before the call returns) or later at cable speed, and whether a
// header with stray flags may be prepared.
TEST(VirtualMidiModel, LongSendsAndPrepareFollowTheOutputsModel) {
    struct Case {
        DriverModel model;
        bool completesInside;
        Result dirtyPrepare;
    } cases[] = {
        {DriverModel::Ideal, true, midi::kNoError},
        {DriverModel::Classic, false, midi::kInvalParam},
        {DriverModel::ClassicSync, true, midi::kInvalParam},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.model));
        VirtualMidi dev(TwoByTwo());
        dev.SetOutModel(0, c.model);
        OutCalls calls;
        OutHandle o = nullptr;
        ASSERT_EQ(dev.OutOpen(&o, 0, &OutCalls::Callback, calls.Instance()), midi::kNoError);
        ASSERT_EQ(calls.All().size(), 1u);  // kMomOpen, before OutOpen returned
        Buffer dirty(4), b(4);
        dirty.hdr.dwFlags = midi::kMhdrDone;
        EXPECT_EQ(dev.OutPrepareHeader(o, &dirty.hdr, sizeof(Header)), c.dirtyPrepare);
        ASSERT_EQ(dev.OutPrepareHeader(o, &b.hdr, sizeof(Header)), midi::kNoError);
        EXPECT_EQ(dev.OutPrepareHeader(o, &b.hdr, sizeof(Header)), midi::kNoError);  // already prepared
        // A callback may send on its own handle, but not close it.
        Result closeInside = midi::kNoError;
        calls.onCall = [&](OutHandle h, uint32_t msg) {
            if (msg != midi::kMomDone) return;
            dev.OutShortMsg(h, 0xF8);
            closeInside = dev.OutClose(h);
        };
        ASSERT_EQ(dev.OutLongMsg(o, &b.hdr, sizeof(Header)), midi::kNoError);
        if (c.completesInside) {
            EXPECT_NE(midi::LoadFlags(b.hdr) & midi::kMhdrDone, 0u);
            EXPECT_EQ(calls.All().size(), 2u);
        }
        ASSERT_TRUE(calls.WaitFor(2));
        const auto done = calls.All()[1];
        EXPECT_EQ(done.msg, midi::kMomDone);
        EXPECT_EQ(done.param1, reinterpret_cast<uintptr_t>(&b.hdr));
        EXPECT_TRUE(done.headerDone);
        EXPECT_EQ(done.thread == std::this_thread::get_id(), c.completesInside);
        EXPECT_EQ(closeInside, midi::kError);
        EXPECT_TRUE(dev.WaitForOutEvents(0, 2, kWait));
        ASSERT_EQ(dev.OutClose(o), midi::kNoError);
        const auto all = calls.All();
        EXPECT_EQ(all.front().msg, midi::kMomOpen);
        EXPECT_EQ(all.back().msg, midi::kMomClose);
        EXPECT_EQ(all.size(), 3u);
    }
}

// A classic driver sends long data at 320 microseconds a byte, one send after the
// other; kMomDone follows each in order from the completion thread.
TEST(VirtualMidiModel, ClassicLongSendsGoAtCableSpeedInOrder) {
    VirtualMidi dev(TwoByTwo());
    dev.SetModel(DriverModel::Classic);
    OutCalls calls;
    OutHandle o = nullptr;
    ASSERT_EQ(dev.OutOpen(&o, 1, &OutCalls::Callback, calls.Instance()), midi::kNoError);
    Buffer b[2] = {Buffer(1000), Buffer(500)};
    for (Buffer& x : b) ASSERT_EQ(dev.OutPrepareHeader(o, &x.hdr, sizeof(Header)), midi::kNoError);
    const int64_t sent = VirtualMidi::NowNs();
    for (Buffer& x : b) ASSERT_EQ(dev.OutLongMsg(o, &x.hdr, sizeof(Header)), midi::kNoError);
    ASSERT_TRUE(calls.WaitFor(3));
    const auto rec = dev.OutRecord(1);
    ASSERT_EQ(rec.size(), 2u);
    EXPECT_EQ(rec[0].bytes.size(), 1000u);
    EXPECT_GE(rec[0].timeNs - sent, 320'000'000);
    EXPECT_GE(rec[1].timeNs - sent, 480'000'000);  // queued behind the first
    const auto all = calls.All();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(all[1 + i].msg, midi::kMomDone);
        EXPECT_EQ(all[1 + i].param1, reinterpret_cast<uintptr_t>(&b[i].hdr));
        EXPECT_NE(all[1 + i].thread, std::this_thread::get_id());
    }
    EXPECT_EQ(dev.OutClose(o), midi::kNoError);
}

TEST(VirtualMidiModel, OutputsAreSingleClientOnClassicModelsAndInputsAlwaysExclusive) {
    VirtualMidi::Config cfg = TwoByTwo();
    cfg.model = DriverModel::Classic;
    cfg.outModels = {std::nullopt, DriverModel::Ideal};
    VirtualMidi dev(cfg);
    struct Case {
        const char* what;
        std::function<void(VirtualMidi&)> arrange;
        uint32_t id;
        Result second;
    } cases[] = {
        {"classic from the config", [](VirtualMidi&) {}, 0, midi::kAllocated},
        {"ideal from the config", [](VirtualMidi&) {}, 1, midi::kNoError},
        {"classic-sync", [](VirtualMidi& d) { d.SetOutModel(1, DriverModel::ClassicSync); }, 1, midi::kAllocated},
        {"a finer knob after the model", [](VirtualMidi& d) { d.SetOutExclusive(1, false); }, 1, midi::kNoError},
        {"ideal", [](VirtualMidi& d) { d.SetModel(DriverModel::Ideal); }, 0, midi::kNoError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange(dev);
        OutHandle o[2] = {};
        ASSERT_EQ(dev.OutOpen(&o[0], c.id, nullptr, 0), midi::kNoError);
        EXPECT_EQ(dev.OutOpen(&o[1], c.id, nullptr, 0), c.second);
        for (OutHandle h : o) {
            if (h) {
                EXPECT_EQ(dev.OutClose(h), midi::kNoError);
            }
        }
        Collector col;
        InHandle in[2] = {};
        ASSERT_EQ(dev.InOpen(&in[0], 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
        EXPECT_EQ(dev.InOpen(&in[1], 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kAllocated);
        EXPECT_EQ(dev.InClose(in[0]), midi::kNoError);
    }
}

// kMomDone for the sends a reset hands back comes from inside OutReset; a close waits
// for callbacks still running on other threads, and none comes after it returns.
TEST(VirtualMidiOutput, ResetCallsBackAndCloseWaitsForRunningCallbacks) {
    for (const bool resetElsewhere : {false, true}) {
        SCOPED_TRACE(resetElsewhere ? "reset on another thread" : "completed on the completion thread");
        VirtualMidi dev(TwoByTwo());
        dev.SetOutLongDelay(0, resetElsewhere ? 3600s : 10ms);
        OutCalls calls;
        std::atomic<bool> finished{false};
        calls.onCall = [&](OutHandle, uint32_t msg) {
            if (msg != midi::kMomDone) return;
            std::this_thread::sleep_for(50ms);
            finished = true;
        };
        OutHandle o = nullptr;
        ASSERT_EQ(dev.OutOpen(&o, 0, &OutCalls::Callback, calls.Instance()), midi::kNoError);
        Buffer b(3);
        ASSERT_EQ(dev.OutPrepareHeader(o, &b.hdr, sizeof(Header)), midi::kNoError);
        ASSERT_EQ(dev.OutLongMsg(o, &b.hdr, sizeof(Header)), midi::kNoError);
        std::thread resetter;
        if (resetElsewhere) resetter = std::thread([&] { EXPECT_EQ(dev.OutReset(o), midi::kNoError); });
        while (!(midi::LoadFlags(b.hdr) & midi::kMhdrDone)) std::this_thread::yield();
        EXPECT_EQ(dev.OutClose(o), midi::kNoError);
        EXPECT_TRUE(finished);
        std::thread::id resetterId;
        if (resetElsewhere) {
            resetterId = resetter.get_id();
            resetter.join();
        }
        const auto all = calls.All();
        ASSERT_EQ(all.size(), 3u);
        EXPECT_EQ(all[1].param1, reinterpret_cast<uintptr_t>(&b.hdr));
        EXPECT_EQ(all[2].msg, midi::kMomClose);
        // From inside OutReset, or from the completion thread.
        EXPECT_EQ(all[1].thread == resetterId, resetElsewhere);
        EXPECT_NE(all[1].thread, std::this_thread::get_id());
        EXPECT_EQ(dev.OutRecordSize(0), resetElsewhere ? 0u : 1u);
    }
}

// ---- empty input buffers ------------------------------------------------------------

// Empty buffers after an exactly filled SysEx on classic models, and on any model
// when asked (HandBackEmptyBuffer after the SysEx). A short message after the data
// shows that nothing more came before it.
TEST(VirtualMidiModel, InputHandsBackAnEmptyBufferAfterAnExactlyFilledSysExOrWhenAsked) {
    struct Case {
        const char* what;
        DriverModel model;
        size_t sysEx;
        bool handBack;
        std::vector<uint32_t> recorded;
    } cases[] = {
        {"ideal, exact", DriverModel::Ideal, 200, false, {100, 100}},
        {"classic, exact", DriverModel::Classic, 200, false, {100, 100, 0}},
        {"classic-sync, exact", DriverModel::ClassicSync, 100, false, {100, 0}},
        {"classic, not exact", DriverModel::Classic, 150, false, {100, 50}},
        {"ideal, asked for", DriverModel::Ideal, 150, true, {100, 50, 0}},
        {"classic, exact and asked for", DriverModel::Classic, 100, true, {100, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualMidi dev(TwoByTwo());
        dev.SetInModel(0, c.model);
        Collector col;
        InHandle h = nullptr;
        ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
        Buffer b[4] = {Buffer(100), Buffer(100), Buffer(100), Buffer(100)};
        for (Buffer& x : b) {
            ASSERT_EQ(dev.InPrepareHeader(h, &x.hdr, sizeof(Header)), midi::kNoError);
            ASSERT_EQ(dev.InAddBuffer(h, &x.hdr, sizeof(Header)), midi::kNoError);
        }
        EXPECT_FALSE(dev.HandBackEmptyBuffer(0));  // not started
        EXPECT_FALSE(dev.HandBackEmptyBuffer(2));  // no such input
        ASSERT_EQ(dev.InStart(h), midi::kNoError);
        const std::vector<uint8_t> sx = Pattern(c.sysEx, 1);
        ASSERT_TRUE(dev.SendSysEx(0, sx.data(), sx.size()));
        if (c.handBack) {
            ASSERT_TRUE(dev.HandBackEmptyBuffer(0));
        }
        ASSERT_TRUE(dev.SendShort(0, 0x90));
        ASSERT_TRUE(col.WaitForData(c.recorded.size() + 1));
        const auto data = col.Data();
        ASSERT_EQ(data.size(), c.recorded.size() + 1);
        for (size_t i = 0; i < c.recorded.size(); ++i) {
            EXPECT_EQ(data[i].msg, midi::kMimLongData) << i;
            EXPECT_EQ(data[i].param1, reinterpret_cast<uintptr_t>(&b[i].hdr)) << i;
            EXPECT_EQ(data[i].recorded, c.recorded[i]) << i;
            EXPECT_EQ(data[i].flags, midi::kMhdrPrepared | midi::kMhdrDone) << i;
        }
        EXPECT_EQ(data[0].data, std::vector<uint8_t>(sx.begin(), sx.begin() + 100));
        EXPECT_EQ(data.back().msg, midi::kMimData);
        EXPECT_EQ(dev.InReset(h), midi::kNoError);
        EXPECT_EQ(dev.InClose(h), midi::kNoError);
    }
}

// A message fed in parts stays in the buffer it is filling until a buffer is full or
// the message ends; a reset hands the partly filled buffer back with what it holds.
TEST(VirtualMidiInput, SysExInPartsKeepsFillingTheBufferUntilTheMessageEnds) {
    struct Case {
        const char* what;
        std::vector<size_t> parts;
        size_t end;  // bytes of the SendSysEx that ends the message; 0: a reset instead
        std::vector<uint32_t> recorded;
    } cases[] = {
        {"part, then the end", {5}, 2, {7}},
        {"two parts, then the end", {3, 3}, 4, {8, 2}},
        {"a part over a buffer's end", {10}, 3, {8, 5}},
        {"a part that fills a buffer", {8}, 1, {8, 1}},
        {"reset while filling", {5}, 0, {5}},
        {"reset after a full buffer", {11}, 0, {8, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualMidi dev(TwoByTwo());
        Collector col;
        InHandle h = nullptr;
        ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
        Buffer b[4] = {Buffer(8), Buffer(8), Buffer(8), Buffer(8)};
        for (Buffer& x : b) {
            ASSERT_EQ(dev.InPrepareHeader(h, &x.hdr, sizeof(Header)), midi::kNoError);
            ASSERT_EQ(dev.InAddBuffer(h, &x.hdr, sizeof(Header)), midi::kNoError);
        }
        ASSERT_EQ(dev.InStart(h), midi::kNoError);
        size_t total = c.end;
        for (size_t n : c.parts) total += n;
        const std::vector<uint8_t> sx = Pattern(total, 3);
        size_t at = 0;
        for (size_t n : c.parts) {
            ASSERT_TRUE(dev.SendSysExPart(0, sx.data() + at, n));
            at += n;
        }
        if (c.end > 0) {
            ASSERT_TRUE(dev.SendSysEx(0, sx.data() + at, c.end));
        }
        // The short message after them shows that nothing else came back meanwhile.
        ASSERT_TRUE(dev.SendShort(0, 0x90));
        const size_t before = c.end > 0 ? c.recorded.size() : c.recorded.size() - 1;
        ASSERT_TRUE(col.WaitForData(before + 1));
        if (c.end == 0) {
            ASSERT_EQ(dev.InReset(h), midi::kNoError);
        }
        std::vector<uint8_t> got;
        std::vector<uint32_t> recorded;
        for (const auto& call : col.Of(midi::kMimLongData)) {
            if (call.recorded == 0) break;  // the reset's empty ones
            recorded.push_back(call.recorded);
            got.insert(got.end(), call.data.begin(), call.data.end());
        }
        EXPECT_EQ(recorded, c.recorded);
        EXPECT_EQ(got, sx);
        EXPECT_EQ(col.Data()[before].msg, midi::kMimData);
        EXPECT_EQ(dev.InDropCounts(0).sysExMessages, 0u);
        ASSERT_EQ(dev.InReset(h), midi::kNoError);
        EXPECT_EQ(dev.InClose(h), midi::kNoError);
    }
}

// ---- devices that go and come -----------------------------------------------------

std::vector<std::string> InNames(VirtualMidi& dev) {
    std::vector<std::string> v;
    char name[midi::kNameSize];
    for (uint32_t i = 0; i < dev.InGetNumDevs(); ++i)
        v.push_back(dev.InGetDevCaps(i, name) == midi::kNoError ? name : "?");
    return v;
}

std::vector<std::string> OutNames(VirtualMidi& dev) {
    std::vector<std::string> v;
    char name[midi::kNameSize];
    for (uint32_t i = 0; i < dev.OutGetNumDevs(); ++i)
        v.push_back(dev.OutGetDevCaps(i, name) == midi::kNoError ? name : "?");
    return v;
}

using Names = std::vector<std::string>;

VirtualMidi::Config ThreeByThree(DriverModel model = DriverModel::Ideal) {
    return VirtualMidi::Config{{"Key A", "Key B", "Key C"}, {"Synth A", "Synth B", "Synth C"}, model};
}

// Windows enumerates again after a removal: the devices after the removed one move
// down, and an open of its old index reaches the next device.
TEST(VirtualMidiHotplug, ListShrinksAndTheOldIndexReachesTheNextDevice) {
    VirtualMidi dev(ThreeByThree());
    Collector col;
    InHandle in = nullptr;
    OutHandle out = nullptr;
    ASSERT_EQ(dev.InOpen(&in, 1, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
    ASSERT_EQ(dev.OutOpen(&out, 1, nullptr, 0), midi::kNoError);

    EXPECT_FALSE(dev.RemoveInput(3));
    EXPECT_FALSE(dev.RemoveOutput(3));
    ASSERT_TRUE(dev.RemoveInput(1));
    ASSERT_TRUE(dev.RemoveOutput(1));
    EXPECT_EQ(InNames(dev), (Names{"Key A", "Key C"}));
    EXPECT_EQ(OutNames(dev), (Names{"Synth A", "Synth C"}));
    char name[midi::kNameSize];
    EXPECT_EQ(dev.InGetDevCaps(2, name), midi::kBadDeviceId);
    EXPECT_EQ(dev.OutGetDevCaps(2, name), midi::kBadDeviceId);
    // The gone handles count on no listed device, but are still open.
    EXPECT_EQ(dev.InOpenCount(1), 0);
    EXPECT_EQ(dev.OutOpenCount(1), 0);
    EXPECT_EQ(dev.InHandleCount(), 1u);
    EXPECT_EQ(dev.OutHandleCount(), 1u);

    // Index 1 is now the third device.
    Collector next;
    InHandle in2 = nullptr;
    OutHandle out2 = nullptr;
    ASSERT_EQ(dev.InOpen(&in2, 1, &Collector::Callback, next.Instance(), kOpenFlags), midi::kNoError);
    ASSERT_EQ(dev.OutOpen(&out2, 1, nullptr, 0), midi::kNoError);
    EXPECT_EQ(dev.InOpenCount(1), 1);
    EXPECT_EQ(dev.OutOpenCount(1), 1);
    ASSERT_EQ(dev.InStart(in2), midi::kNoError);
    ASSERT_TRUE(dev.SendShort(1, 0x7F3C90));
    ASSERT_TRUE(next.WaitForData(1));
    EXPECT_EQ(next.Data()[0].param1, 0x7F3C90u);
    EXPECT_TRUE(col.Data().empty());
    EXPECT_EQ(dev.OutShortMsg(out2, 0x90), midi::kNoError);
    EXPECT_EQ(dev.OutShortMsg(out, 0x80), midi::kNoDriver);
    ASSERT_EQ(dev.OutRecordSize(1), 1u);
    EXPECT_EQ(dev.OutRecord(1)[0].shortMsg, 0x90u);

    for (InHandle h : {in, in2}) EXPECT_EQ(dev.InClose(h), midi::kNoError);
    for (OutHandle h : {out, out2}) EXPECT_EQ(dev.OutClose(h), midi::kNoError);
    EXPECT_EQ(dev.InHandleCount(), 0u);
    EXPECT_EQ(dev.OutHandleCount(), 0u);
    EXPECT_EQ(dev.InClose(in), midi::kInvalHandle);
    EXPECT_EQ(dev.OutClose(out), midi::kInvalHandle);
}

// Two devices of one name told apart by their handles: each answers with the index
// its device is listed at now, as devices before it come and go, and kNoDriver once it
// was removed (also after its device came back); as winmm does, the index of the open
// with SetIdsFromOpen, gone or not.
TEST(VirtualMidiHotplug, HandlesAnswerWhereTheirDeviceIsListed) {
    for (const bool output : {false, true}) {
        SCOPED_TRACE(output ? "outputs" : "inputs");
        VirtualMidi dev(VirtualMidi::Config{{"Twin", "Twin", "Other"}, {"Twin", "Twin", "Other"}});
        Collector col;
        InHandle in[2] = {};
        OutHandle out[2] = {};
        const auto id = [&](int k, uint32_t* got) { return output ? dev.OutGetID(out[k], got) : dev.InGetID(in[k], got); };
        for (uint32_t k = 0; k < 2; ++k)
            ASSERT_EQ(output ? dev.OutOpen(&out[k], k + 1, nullptr, 0) : dev.InOpen(&in[k], k + 1, &Collector::Callback, col.Instance(), kOpenFlags),
                      midi::kNoError);  // the second Twin and Other
        uint32_t got = 99;
        ASSERT_TRUE(output ? dev.RemoveOutput(0) : dev.RemoveInput(0));  // the first Twin
        EXPECT_EQ(id(0, &got), midi::kNoError);
        EXPECT_EQ(got, 0u) << "moved down with the list";
        EXPECT_EQ(id(1, &got), midi::kNoError);
        EXPECT_EQ(got, 1u);
        dev.SetIdsFromOpen(true);
        EXPECT_FALSE(dev.IdsFollowRenumbering());
        EXPECT_EQ(id(0, &got), midi::kNoError);
        EXPECT_EQ(got, 1u) << "stale, as winmm's";
        dev.SetIdsFromOpen(false);
        ASSERT_TRUE(output ? dev.RemoveOutput(0) : dev.RemoveInput(0));  // its own Twin goes
        ASSERT_TRUE(output ? dev.AddOutput("Twin", 0u) : dev.AddInput("Twin", 0u));  // and comes back
        EXPECT_EQ(id(0, &got), midi::kNoDriver) << "a handle of a gone device stays gone";
        EXPECT_EQ(id(1, &got), midi::kNoError);
        EXPECT_EQ(got, 1u);
        for (int k = 0; k < 2; ++k) EXPECT_EQ(output ? dev.OutClose(out[k]) : dev.InClose(in[k]), midi::kNoError);
        EXPECT_EQ(id(0, &got), midi::kInvalHandle);
    }
}

// A removed output's handle answers kNoDriver; the long sends it had pending come
// back done and unsent from the completion thread, however the model sends and
// whether the device held them; then the handle closes.
TEST(VirtualMidiHotplug, RemovedOutputRefusesSendsAndHandsPendingSendsBack) {
    struct Case {
        const char* what;
        DriverModel model;
        bool late;  // a long delay (ideal) or cable speed (classic) keeps sends pending
        bool hold;
    } cases[] = {
        {"ideal, late", DriverModel::Ideal, true, false},
        {"ideal, held", DriverModel::Ideal, false, true},
        {"classic, cable", DriverModel::Classic, true, false},
        {"classic-sync, held", DriverModel::ClassicSync, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualMidi dev(ThreeByThree(c.model));
        if (c.late && c.model == DriverModel::Ideal) dev.SetOutLongDelay(0, 3600s);
        if (c.hold) dev.SetOutHoldsLong(0, true);
        OutCalls calls;
        OutHandle o = nullptr;
        ASSERT_EQ(dev.OutOpen(&o, 0, &OutCalls::Callback, calls.Instance()), midi::kNoError);
        // 60000 bytes at cable speed take 19 seconds.
        Buffer b[3] = {Buffer(60000), Buffer(60000), Buffer(4)};
        for (Buffer& x : b) ASSERT_EQ(dev.OutPrepareHeader(o, &x.hdr, sizeof(Header)), midi::kNoError);
        for (int i = 0; i < 2; ++i) ASSERT_EQ(dev.OutLongMsg(o, &b[i].hdr, sizeof(Header)), midi::kNoError);
        ASSERT_EQ(dev.OutPendingCount(0), 2u);

        ASSERT_TRUE(dev.RemoveOutput(0));
        EXPECT_EQ(dev.OutShortMsg(o, 0x90), midi::kNoDriver);
        EXPECT_EQ(dev.OutLongMsg(o, &b[2].hdr, sizeof(Header)), midi::kNoDriver);
        EXPECT_EQ(midi::LoadFlags(b[2].hdr), midi::kMhdrPrepared);  // never queued
        EXPECT_EQ(dev.OutReset(o), midi::kNoDriver);
        Buffer fresh(4);
        EXPECT_EQ(dev.OutPrepareHeader(o, &fresh.hdr, sizeof(Header)), midi::kNoDriver);

        ASSERT_TRUE(calls.WaitFor(3));  // kMomOpen, then a kMomDone for each send
        const auto all = calls.All();
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(all[1 + i].msg, midi::kMomDone) << i;
            EXPECT_EQ(all[1 + i].param1, reinterpret_cast<uintptr_t>(&b[i].hdr)) << i;
            EXPECT_TRUE(all[1 + i].headerDone) << i;
            EXPECT_NE(all[1 + i].thread, std::this_thread::get_id()) << i;
            EXPECT_EQ(midi::LoadFlags(b[i].hdr), midi::kMhdrPrepared | midi::kMhdrDone) << i;
        }
        for (Buffer& x : b) EXPECT_EQ(dev.OutUnprepareHeader(o, &x.hdr, sizeof(Header)), midi::kNoError);
        ASSERT_EQ(dev.OutClose(o), midi::kNoError);
        EXPECT_EQ(calls.All().back().msg, midi::kMomClose);
        EXPECT_EQ(calls.All().size(), 4u);
        EXPECT_EQ(dev.OutHandleCount(), 0u);
        // Back by name: the same device, which sent nothing of what was pending.
        ASSERT_TRUE(dev.AddOutput("Synth A"));
        EXPECT_EQ(dev.OutRecordSize(2), 0u);
        EXPECT_EQ(dev.OutPreparedCount(2), 0u);
    }
}

// A removed input delivers nothing more: data waiting behind a busy callback is
// dropped and counted, the buffer a message in parts was filling comes back with what
// it holds and the other queued ones empty, held or not; then the calls answer
// kNoDriver, and close succeeds once the buffers are back.
TEST(VirtualMidiHotplug, RemovedInputHandsItsBuffersBackThenRefuses) {
    struct Case {
        DriverModel model;
        bool hold;
    } cases[] = {
        {DriverModel::Ideal, false},
        {DriverModel::Ideal, true},
        {DriverModel::Classic, false},
        {DriverModel::ClassicSync, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.model)) + (c.hold ? " held" : ""));
        VirtualMidi dev(ThreeByThree(c.model));
        dev.SetInHoldsBuffers(0, c.hold);
        Collector col;
        std::mutex gateMu;
        std::condition_variable gateCv;
        bool inside = false;
        bool open = false;
        // The first short message's callback waits at the gate, so that what is fed
        // meanwhile is still waiting for delivery when the device goes.
        col.onCall = [&](InHandle, uint32_t msg) {
            if (msg != midi::kMimData) return;
            std::unique_lock<std::mutex> lk(gateMu);
            inside = true;
            gateCv.notify_all();
            gateCv.wait(lk, [&] { return open; });
        };
        InHandle h = nullptr;
        ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
        Buffer b[4] = {Buffer(16), Buffer(16), Buffer(16), Buffer(16)};
        for (Buffer& x : b) {
            x.hdr.dwBytesRecorded = 99;
            ASSERT_EQ(dev.InPrepareHeader(h, &x.hdr, sizeof(Header)), midi::kNoError);
            ASSERT_EQ(dev.InAddBuffer(h, &x.hdr, sizeof(Header)), midi::kNoError);
        }
        ASSERT_EQ(dev.InStart(h), midi::kNoError);
        const std::vector<uint8_t> part = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0x01, 0x02};
        ASSERT_TRUE(dev.SendSysExPart(0, part.data(), part.size()));
        ASSERT_TRUE(dev.SendShort(0, 0x903C));
        {
            std::unique_lock<std::mutex> lk(gateMu);
            ASSERT_TRUE(gateCv.wait_for(lk, kWait, [&] { return inside; }));
        }
        for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(dev.SendShort(0, 0x803C + (i << 16)));
        ASSERT_TRUE(dev.RemoveInput(0));
        EXPECT_FALSE(dev.SendShort(0, 0x90));  // index 0 is Key B now, not open
        // The device is still busy with the callback, so nothing is back yet.
        EXPECT_EQ(dev.InClose(h), midi::kStillPlaying);
        {
            std::lock_guard<std::mutex> lk(gateMu);
            open = true;
            gateCv.notify_all();
        }
        // A stop keeps the stop guarantee: when it returns, every buffer is back.
        EXPECT_EQ(dev.InStop(h), midi::kNoDriver);
        const auto data = col.Data();
        ASSERT_EQ(data.size(), 5u);
        EXPECT_EQ(data[0].msg, midi::kMimData);
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(data[1 + i].msg, midi::kMimLongData) << i;
            EXPECT_EQ(data[1 + i].param1, reinterpret_cast<uintptr_t>(&b[i].hdr)) << i;
            EXPECT_EQ(data[1 + i].flags, midi::kMhdrPrepared | midi::kMhdrDone) << i;
            EXPECT_EQ(data[1 + i].recorded, i == 0 ? part.size() : 0u) << i;
        }
        EXPECT_EQ(data[1].data, part);
        EXPECT_NE(data[1].thread, std::this_thread::get_id());

        EXPECT_EQ(dev.InAddBuffer(h, &b[0].hdr, sizeof(Header)), midi::kNoDriver);
        EXPECT_EQ(midi::LoadFlags(b[0].hdr), midi::kMhdrPrepared | midi::kMhdrDone);
        EXPECT_EQ(dev.InStart(h), midi::kNoDriver);
        EXPECT_EQ(dev.InReset(h), midi::kNoDriver);
        Buffer fresh(16);
        EXPECT_EQ(dev.InPrepareHeader(h, &fresh.hdr, sizeof(Header)), midi::kNoDriver);
        for (Buffer& x : b) EXPECT_EQ(dev.InUnprepareHeader(h, &x.hdr, sizeof(Header)), midi::kNoError);
        ASSERT_EQ(dev.InClose(h), midi::kNoError);
        EXPECT_EQ(col.calls.back().msg, midi::kMimClose);
        EXPECT_EQ(dev.InHandleCount(), 0u);
        // Back by name, with what it counted: the three messages behind the gate.
        ASSERT_TRUE(dev.AddInput("Key A"));
        ASSERT_EQ(InNames(dev), (Names{"Key B", "Key C", "Key A"}));
        EXPECT_EQ(dev.InDropCounts(2).shortMessages, 3u);
        EXPECT_EQ(dev.InDropCounts(2).sysExMessages, 0u);
        EXPECT_EQ(dev.InPreparedCount(2), 0u);
    }
}

// A device added back may land at another index and opens afresh, also on models
// that take one client; the handles from before its removal stay dead. An unknown
// name is a new device.
TEST(VirtualMidiHotplug, AddedBackDeviceOpensAfreshAndOldHandlesStayDead) {
    for (DriverModel model : {DriverModel::Ideal, DriverModel::Classic}) {
        SCOPED_TRACE(static_cast<int>(model));
        VirtualMidi dev(ThreeByThree(model));
        Collector oldCol;
        InHandle oldIn = nullptr;
        OutHandle oldOut = nullptr;
        ASSERT_EQ(dev.InOpen(&oldIn, 0, &Collector::Callback, oldCol.Instance(), kOpenFlags), midi::kNoError);
        ASSERT_EQ(dev.InStart(oldIn), midi::kNoError);
        ASSERT_EQ(dev.OutOpen(&oldOut, 0, nullptr, 0), midi::kNoError);
        ASSERT_EQ(dev.OutShortMsg(oldOut, 0x90), midi::kNoError);

        ASSERT_TRUE(dev.RemoveInput(0));
        ASSERT_TRUE(dev.RemoveOutput(0));
        EXPECT_FALSE(dev.AddInput("Key A", 3));  // past the end of two
        EXPECT_FALSE(dev.AddOutput("", 0));
        ASSERT_TRUE(dev.AddInput("Key A", 2));
        ASSERT_TRUE(dev.AddOutput("Synth A", 1));
        ASSERT_TRUE(dev.AddInput("Key Z", 0));
        EXPECT_EQ(InNames(dev), (Names{"Key Z", "Key B", "Key C", "Key A"}));
        EXPECT_EQ(OutNames(dev), (Names{"Synth B", "Synth A", "Synth C"}));
        EXPECT_EQ(dev.InOpensTotal(3), 1u);   // the same device as before
        EXPECT_EQ(dev.InOpensTotal(0), 0u);   // a new one
        EXPECT_EQ(dev.OutRecordSize(1), 1u);  // what it received before it went

        Collector newCol;
        InHandle newIn = nullptr;
        OutHandle newOut = nullptr;
        ASSERT_EQ(dev.InOpen(&newIn, 3, &Collector::Callback, newCol.Instance(), kOpenFlags), midi::kNoError);
        ASSERT_EQ(dev.OutOpen(&newOut, 1, nullptr, 0), midi::kNoError);
        EXPECT_EQ(dev.InOpenCount(3), 1);
        EXPECT_EQ(dev.OutOpenCount(1), 1);
        ASSERT_EQ(dev.InStart(newIn), midi::kNoError);
        EXPECT_EQ(dev.InStart(oldIn), midi::kNoDriver);
        ASSERT_TRUE(dev.SendShort(3, 0x913C));
        ASSERT_TRUE(newCol.WaitForData(1));
        EXPECT_TRUE(oldCol.Data().empty());
        EXPECT_EQ(dev.OutShortMsg(newOut, 0x91), midi::kNoError);
        EXPECT_EQ(dev.OutShortMsg(oldOut, 0x92), midi::kNoDriver);
        ASSERT_EQ(dev.OutRecordSize(1), 2u);
        EXPECT_EQ(dev.OutRecord(1)[1].shortMsg, 0x91u);

        // Removed again while the fresh handles are open: the old ones stay dead and
        // the fresh ones die as well.
        ASSERT_TRUE(dev.RemoveOutput(1));
        ASSERT_TRUE(dev.AddOutput("Synth A", 0));
        EXPECT_EQ(dev.OutShortMsg(newOut, 0x93), midi::kNoDriver);
        EXPECT_EQ(dev.OutShortMsg(oldOut, 0x93), midi::kNoDriver);
        EXPECT_EQ(dev.OutRecordSize(0), 2u);

        EXPECT_EQ(dev.InClose(oldIn), midi::kNoError);
        EXPECT_EQ(dev.InReset(newIn), midi::kNoError);
        EXPECT_EQ(dev.InClose(newIn), midi::kNoError);
        EXPECT_EQ(dev.OutClose(oldOut), midi::kNoError);
        EXPECT_EQ(dev.OutClose(newOut), midi::kNoError);
        EXPECT_EQ(dev.InHandleCount(), 0u);
        EXPECT_EQ(dev.OutHandleCount(), 0u);
    }
}

// After a sleep the inputs open across it deliver nothing and say nothing; reopening
// makes them deliver again. Outputs keep working.
TEST(VirtualMidiHotplug, InputsGoSilentAfterResumeUntilReopened) {
    for (DriverModel model : {DriverModel::Ideal, DriverModel::Classic}) {
        SCOPED_TRACE(static_cast<int>(model));
        VirtualMidi dev(ThreeByThree(model));
        Collector col;
        InHandle h = nullptr;
        ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, col.Instance(), kOpenFlags), midi::kNoError);
        Buffer b[2] = {Buffer(16), Buffer(16)};
        for (Buffer& x : b) {
            ASSERT_EQ(dev.InPrepareHeader(h, &x.hdr, sizeof(Header)), midi::kNoError);
            ASSERT_EQ(dev.InAddBuffer(h, &x.hdr, sizeof(Header)), midi::kNoError);
        }
        ASSERT_EQ(dev.InStart(h), midi::kNoError);
        OutHandle o = nullptr;
        ASSERT_EQ(dev.OutOpen(&o, 0, nullptr, 0), midi::kNoError);

        EXPECT_FALSE(dev.Resume());  // not asleep
        ASSERT_TRUE(dev.Suspend());
        EXPECT_FALSE(dev.Suspend());
        EXPECT_FALSE(dev.SendShort(0, 0x90));  // asleep
        ASSERT_TRUE(dev.Resume());
        EXPECT_FALSE(dev.Resume());

        const uint8_t sx[] = {0xF0, 0x01, 0xF7};
        EXPECT_FALSE(dev.SendShort(0, 0x90));
        EXPECT_FALSE(dev.SendSysEx(0, sx, sizeof sx));
        EXPECT_FALSE(dev.HandBackEmptyBuffer(0));
        // Every call still answers as before.
        EXPECT_EQ(dev.InStop(h), midi::kNoError);
        EXPECT_EQ(dev.InStart(h), midi::kNoError);
        Buffer more(16);
        EXPECT_EQ(dev.InPrepareHeader(h, &more.hdr, sizeof(Header)), midi::kNoError);
        EXPECT_EQ(dev.InAddBuffer(h, &more.hdr, sizeof(Header)), midi::kNoError);
        EXPECT_FALSE(dev.SendShort(0, 0x90));
        EXPECT_EQ(dev.InDropCounts(0).shortMessages, 3u);
        EXPECT_EQ(dev.InDropCounts(0).sysExMessages, 1u);
        EXPECT_EQ(dev.InDropCounts(0).sysExBytes, 3u);
        EXPECT_TRUE(col.Data().empty());
        EXPECT_EQ(dev.InQueuedCount(0), 3u);
        EXPECT_EQ(dev.OutShortMsg(o, 0xF8), midi::kNoError);
        EXPECT_EQ(dev.OutRecordSize(0), 1u);

        // The buffers still come back on reset, so the input can be closed and opened.
        ASSERT_EQ(dev.InReset(h), midi::kNoError);
        EXPECT_EQ(col.Of(midi::kMimLongData).size(), 3u);
        for (Buffer* x : {&b[0], &b[1], &more}) ASSERT_EQ(dev.InUnprepareHeader(h, &x->hdr, sizeof(Header)), midi::kNoError);
        ASSERT_EQ(dev.InClose(h), midi::kNoError);
        Collector again;
        ASSERT_EQ(dev.InOpen(&h, 0, &Collector::Callback, again.Instance(), kOpenFlags), midi::kNoError);
        ASSERT_EQ(dev.InStart(h), midi::kNoError);
        ASSERT_TRUE(dev.SendShort(0, 0x90));
        ASSERT_TRUE(again.WaitForData(1));
        EXPECT_EQ(dev.InClose(h), midi::kNoError);
        EXPECT_EQ(dev.OutClose(o), midi::kNoError);
    }
}

// What an application does when its devices go, a hundred times with data flowing:
// wait for the buffers, unprepare, close; the device comes back at alternating
// indexes. In the end no handle is open, every header is back and unprepared, no
// callback ran after its close returned, and every short message fed was either
// delivered or counted as dropped.
TEST(VirtualMidiHotplug, HundredRemoveAndAddCyclesLeaveNothingBehind) {
    struct Watch {
        std::atomic<bool> closed{false};
        std::atomic<int>* late;
        std::atomic<uint64_t>* delivered;
    };
    std::atomic<int> late{0};
    std::atomic<uint64_t> delivered{0};
    auto inCb = [](InHandle, uint32_t msg, uintptr_t inst, uintptr_t, uintptr_t) {
        auto* w = reinterpret_cast<Watch*>(inst);
        if (w->closed.load()) ++*w->late;
        if (msg == midi::kMimData) ++*w->delivered;
    };
    auto outCb = [](OutHandle, uint32_t, uintptr_t inst, uintptr_t, uintptr_t) {
        auto* w = reinterpret_cast<Watch*>(inst);
        if (w->closed.load()) ++*w->late;
    };
    auto indexOf = [](const Names& names, const std::string& name) {
        return static_cast<uint32_t>(std::find(names.begin(), names.end(), name) - names.begin());
    };
    for (DriverModel model : {DriverModel::Ideal, DriverModel::Classic}) {
        SCOPED_TRACE(static_cast<int>(model));
        late = 0;
        delivered = 0;
        VirtualMidi dev(VirtualMidi::Config{{"Key A", "Key B"}, {"Synth A", "Synth B"}, model});
        // Every long send is still pending when its device goes.
        dev.SetOutHoldsLong(0, true);
        std::atomic<bool> feeding{true};
        std::atomic<uint64_t> fed{0};
        // Index 0 always exists: one of the two inputs is listed at any time.
        std::thread feeder([&] {
            while (feeding.load()) {
                dev.SendShort(0, 0x90);
                ++fed;
            }
        });
        Buffer in[2] = {Buffer(8), Buffer(8)};
        Buffer out(8);
        for (int cycle = 0; cycle < 100; ++cycle) {
            SCOPED_TRACE(cycle);
            Watch inWatch{{false}, &late, &delivered};
            Watch outWatch{{false}, &late, &delivered};
            const uint32_t inId = indexOf(InNames(dev), "Key A");
            const uint32_t outId = indexOf(OutNames(dev), "Synth A");
            InHandle ih = nullptr;
            OutHandle oh = nullptr;
            ASSERT_EQ(dev.InOpen(&ih, inId, inCb, reinterpret_cast<uintptr_t>(&inWatch), kOpenFlags), midi::kNoError);
            ASSERT_EQ(dev.OutOpen(&oh, outId, outCb, reinterpret_cast<uintptr_t>(&outWatch)), midi::kNoError);
            for (Buffer& b : in) {
                ASSERT_EQ(dev.InPrepareHeader(ih, &b.hdr, sizeof(Header)), midi::kNoError);
                ASSERT_EQ(dev.InAddBuffer(ih, &b.hdr, sizeof(Header)), midi::kNoError);
            }
            ASSERT_EQ(dev.InStart(ih), midi::kNoError);
            const uint8_t part[] = {0xF0, 0x7D, 0x01};
            dev.SendSysExPart(inId, part, sizeof part);
            out.hdr.dwFlags = 0;  // classic drivers insist
            ASSERT_EQ(dev.OutPrepareHeader(oh, &out.hdr, sizeof(Header)), midi::kNoError);
            ASSERT_EQ(dev.OutLongMsg(oh, &out.hdr, sizeof(Header)), midi::kNoError);
            std::this_thread::sleep_for(std::chrono::microseconds(50 * (cycle % 5)));

            ASSERT_TRUE(dev.RemoveInput(inId));
            ASSERT_TRUE(dev.RemoveOutput(outId));
            ASSERT_EQ(dev.InStop(ih), midi::kNoDriver);
            for (Buffer& b : in) {
                ASSERT_EQ(midi::LoadFlags(b.hdr), midi::kMhdrPrepared | midi::kMhdrDone);
                ASSERT_EQ(dev.InUnprepareHeader(ih, &b.hdr, sizeof(Header)), midi::kNoError);
            }
            ASSERT_EQ(dev.InClose(ih), midi::kNoError);
            inWatch.closed = true;
            // The send comes back a moment after the removal, as the engine sees it.
            const auto giveUp = std::chrono::steady_clock::now() + kWait;
            while (!(midi::LoadFlags(out.hdr) & midi::kMhdrDone)) {
                ASSERT_LT(std::chrono::steady_clock::now(), giveUp);
                std::this_thread::sleep_for(100us);
            }
            ASSERT_EQ(dev.OutUnprepareHeader(oh, &out.hdr, sizeof(Header)), midi::kNoError);
            ASSERT_EQ(dev.OutClose(oh), midi::kNoError);
            outWatch.closed = true;

            ASSERT_TRUE(dev.AddInput("Key A", static_cast<uint32_t>(cycle % 2)));
            ASSERT_TRUE(dev.AddOutput("Synth A", static_cast<uint32_t>((cycle + 1) % 2)));
        }
        feeding = false;
        feeder.join();
        EXPECT_EQ(dev.InHandleCount(), 0u);
        EXPECT_EQ(dev.OutHandleCount(), 0u);
        EXPECT_EQ(late.load(), 0);
        const Names names = InNames(dev);
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(dev.InPreparedCount(indexOf(names, "Key A")), 0u);
        EXPECT_EQ(dev.OutPreparedCount(indexOf(OutNames(dev), "Synth A")), 0u);
        uint64_t dropped = 0;
        for (uint32_t id = 0; id < 2; ++id) dropped += dev.InDropCounts(id).shortMessages;
        EXPECT_EQ(fed.load(), delivered.load() + dropped);
        EXPECT_EQ(dev.OutRecordSize(indexOf(OutNames(dev), "Synth A")), 0u);  // held, then gone: nothing sent
    }
}

}  // namespace

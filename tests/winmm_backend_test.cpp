// The winmm backend against the system's own MIDI services. Under Wine there is no
// MIDI hardware, so what can always be checked is that every call reaches winmm and
// comes back with winmm's answer: device enumeration, and the refusal of ids and
// handles that name no device.
//
// Run with the loopback sequencer (tests/loopback/README.md), Wine has devices, and
// the WinmmLoopback tests drive them: names, messages out (read back from the
// loopback's record) and in (written into its feed). Without it they are skipped.
#ifdef _WIN32

#include "platform/winmm/winmm_backend.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/wide_text.h"

namespace {

constexpr uint32_t kNoDeviceId = 0x7FFFFFFF;

void Ignore(midi::InHandle, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}
void IgnoreOut(midi::OutHandle, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

TEST(WinmmBackend, EveryEnumeratedDeviceHasATerminatedName) {
    midi::WinmmBackend b;
    struct Side {
        const char* what;
        uint32_t count;
        midi::Result (midi::WinmmBackend::*caps)(uint32_t, char (&)[midi::kNameSize]);
    } sides[] = {
        {"input", b.InGetNumDevs(), &midi::WinmmBackend::InGetDevCaps},
        {"output", b.OutGetNumDevs(), &midi::WinmmBackend::OutGetDevCaps},
    };
    for (const Side& s : sides) {
        SCOPED_TRACE(s.what);
        std::printf("winmm %s devices: %u\n", s.what, s.count);
        for (uint32_t id = 0; id < s.count; ++id) {
            char name[midi::kNameSize];
            std::memset(name, 'x', sizeof name);
            ASSERT_EQ(midi::kNoError, (b.*s.caps)(id, name)) << "device " << id;
            EXPECT_NE(nullptr, std::memchr(name, '\0', sizeof name)) << "device " << id;
        }
    }
}

TEST(WinmmBackend, IdsPastTheLastDeviceAreRefusedAndLeaveTheNameAlone) {
    midi::WinmmBackend b;
    const uint32_t ins = b.InGetNumDevs();
    const uint32_t outs = b.OutGetNumDevs();
    // The first id past the end, the engine's "no device" marker, and one more in
    // between. (0xFFFFFFFF is left out: for outputs it names the MIDI mapper.)
    const uint32_t inIds[] = {ins, ins + 1, kNoDeviceId};
    const uint32_t outIds[] = {outs, outs + 1, kNoDeviceId};

    for (uint32_t id : inIds) {
        SCOPED_TRACE(id);
        char name[midi::kNameSize] = "unchanged";
        EXPECT_EQ(midi::kBadDeviceId, b.InGetDevCaps(id, name));
        EXPECT_STREQ("unchanged", name);

        midi::InHandle h = nullptr;
        EXPECT_EQ(midi::kBadDeviceId, b.InOpen(&h, id, &Ignore, 0, midi::kCallbackFunction));
        EXPECT_EQ(nullptr, h);
    }
    for (uint32_t id : outIds) {
        SCOPED_TRACE(id);
        char name[midi::kNameSize] = "unchanged";
        EXPECT_EQ(midi::kBadDeviceId, b.OutGetDevCaps(id, name));
        EXPECT_STREQ("unchanged", name);

        midi::OutHandle h = nullptr;
        EXPECT_EQ(midi::kBadDeviceId, b.OutOpen(&h, id, nullptr, 0));
        EXPECT_EQ(midi::kBadDeviceId, b.OutOpen(&h, id, &IgnoreOut, 0));
        EXPECT_EQ(nullptr, h);
    }
}

TEST(WinmmBackend, InputOpenRejectsCallbackKindsItCannotForward) {
    midi::WinmmBackend b;
    midi::InHandle h = nullptr;
    // A callback function was asked for but none given.
    EXPECT_EQ(midi::kInvalParam, b.InOpen(&h, 0, nullptr, 0, midi::kCallbackFunction));
    // CALLBACK_WINDOW (0x10000): the seam has no window to pass on.
    EXPECT_EQ(midi::kInvalFlag, b.InOpen(&h, 0, &Ignore, 0, 0x10000));
    EXPECT_EQ(nullptr, h);
}

TEST(WinmmBackend, NullInputHandlesAreRefusedWithoutTouchingWinmm) {
    midi::WinmmBackend b;
    midi::Header hdr{};
    EXPECT_EQ(midi::kInvalHandle, b.InStart(nullptr));
    EXPECT_EQ(midi::kInvalHandle, b.InStop(nullptr));
    EXPECT_EQ(midi::kInvalHandle, b.InReset(nullptr));
    EXPECT_EQ(midi::kInvalHandle, b.InClose(nullptr));
    EXPECT_EQ(midi::kInvalHandle, b.InPrepareHeader(nullptr, &hdr, sizeof hdr));
    EXPECT_EQ(midi::kInvalHandle, b.InAddBuffer(nullptr, &hdr, sizeof hdr));
    EXPECT_EQ(midi::kInvalHandle, b.InUnprepareHeader(nullptr, &hdr, sizeof hdr));
    uint32_t id = 7;
    EXPECT_EQ(midi::kInvalHandle, b.InGetID(nullptr, &id));
    EXPECT_EQ(id, 7u);
}

TEST(WinmmBackend, NullOutputHandlesAreRefusedWithoutTouchingWinmm) {
    midi::WinmmBackend b;
    midi::Header hdr{};
    EXPECT_EQ(midi::kInvalHandle, b.OutShortMsg(nullptr, 0x90));
    EXPECT_EQ(midi::kInvalHandle, b.OutReset(nullptr));
    EXPECT_EQ(midi::kInvalHandle, b.OutClose(nullptr));
    EXPECT_EQ(midi::kInvalHandle, b.OutPrepareHeader(nullptr, &hdr, sizeof hdr));
    EXPECT_EQ(midi::kInvalHandle, b.OutLongMsg(nullptr, &hdr, sizeof hdr));
    EXPECT_EQ(midi::kInvalHandle, b.OutUnprepareHeader(nullptr, &hdr, sizeof hdr));
    uint32_t id = 7;
    EXPECT_EQ(midi::kInvalHandle, b.OutGetID(nullptr, &id));
    EXPECT_EQ(id, 7u);
    EXPECT_FALSE(b.IdsFollowRenumbering()) << "winmm keeps the index of the open";
}


// ---- with the loopback sequencer ---------------------------------------------------

std::wstring EnvW(const wchar_t* name) {
    const wchar_t* v = _wgetenv(name);
    return v ? v : L"";
}

std::string ToUtf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring FromUtf8(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::vector<std::string> SplitUtf8(const std::wstring& list) {
    std::vector<std::string> out;
    if (list.empty()) return out;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(L',', start);
        out.push_back(ToUtf8(list.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start)));
        if (comma == std::wstring::npos) return out;
        start = comma + 1;
    }
}

// The Unix path Wine was given, as this program opens it (Wine's Z: is the root).
std::wstring DosPath(const std::wstring& unixPath) {
    std::wstring p = L"Z:" + unixPath;
    for (wchar_t& c : p)
        if (c == L'/') c = L'\\';
    return p;
}

// A configured port as Wine lists it: "client - port" while that fits in 31 bytes of
// UTF-8, else the port name cut to 31 bytes (63 being all the sequencer keeps).
std::wstring WineDeviceName(const std::string& client, std::string port) {
    if (port.size() > 63) {
        size_t n = 63;
        while (n > 0 && (static_cast<unsigned char>(port[n]) & 0xC0) == 0x80) --n;
        port.resize(n);
    }
    if (client.size() + port.size() + 3 < 32) return FromUtf8(client + " - " + port);
    return FromUtf8(port.substr(0, 31));
}

// What the backend hands the engine for a wide name: code page 932, cut to 31 bytes
// where no character breaks.
std::string Cut932(const std::wstring& w) {
    const std::string narrow = text::Narrow(w.c_str());
    size_t n = 0;
    while (n < narrow.size()) {
        const size_t step = IsDBCSLeadByteEx(932, static_cast<BYTE>(narrow[n])) ? 2 : 1;
        if (n + step > midi::kNameSize - 1) break;
        n += step;
    }
    return narrow.substr(0, n);
}

class WinmmLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        ins_ = SplitUtf8(EnvW(L"KAVO_LOOPBACK_IN"));
        outs_ = SplitUtf8(EnvW(L"KAVO_LOOPBACK_OUT"));
        const std::wstring client = EnvW(L"KAVO_LOOPBACK_CLIENT");
        client_ = client.empty() ? "Loopback" : ToUtf8(client);
        feed_ = EnvW(L"KAVO_LOOPBACK_FEED");
        record_ = EnvW(L"KAVO_LOOPBACK_RECORD");
        if (ins_.empty() || outs_.empty() || feed_.empty() || record_.empty() || b_.InGetNumDevs() == 0)
            GTEST_SKIP() << "no loopback MIDI devices (see tests/loopback/README.md)";
    }

    // The record's lines from line `from` on, each without its time stamp.
    std::vector<std::string> RecordFrom(size_t from) {
        std::ifstream in(DosPath(record_).c_str());
        std::vector<std::string> lines;
        size_t i = 0;
        for (std::string l; std::getline(in, l); ++i)
            if (i >= from) lines.push_back(l.substr(l.find(' ') + 1));
        return lines;
    }
    size_t RecordSize() {
        std::ifstream in(DosPath(record_).c_str());
        size_t n = 0;
        for (std::string l; std::getline(in, l);) ++n;
        return n;
    }

    void Feed(const std::string& lines) {
        HANDLE f = CreateFileW(DosPath(feed_).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, f) << "error " << GetLastError();
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(f, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr));
        EXPECT_EQ(lines.size(), written);
        CloseHandle(f);
    }

    midi::WinmmBackend b_;
    std::vector<std::string> ins_, outs_;
    std::string client_;
    std::wstring feed_, record_;
};

TEST_F(WinmmLoopback, DevicesCarryTheConfiguredNamesInTheirOrder) {
    struct Side {
        const char* what;
        const std::vector<std::string>* names;
        uint32_t count;
        bool in;
    } sides[] = {{"input", &ins_, b_.InGetNumDevs(), true}, {"output", &outs_, b_.OutGetNumDevs(), false}};
    for (const Side& s : sides) {
        SCOPED_TRACE(s.what);
        ASSERT_EQ(s.names->size(), s.count);
        for (uint32_t id = 0; id < s.count; ++id) {
            SCOPED_TRACE(id);
            const std::wstring want = WineDeviceName(client_, (*s.names)[id]);
            MIDIINCAPSW inCaps{};
            MIDIOUTCAPSW outCaps{};
            const wchar_t* wide = s.in ? inCaps.szPname : outCaps.szPname;
            ASSERT_EQ(MMSYSERR_NOERROR, s.in ? midiInGetDevCapsW(id, &inCaps, sizeof inCaps)
                                             : midiOutGetDevCapsW(id, &outCaps, sizeof outCaps));
            EXPECT_EQ(want, std::wstring(wide)) << ToUtf8(wide);
            std::printf("loopback %s %u: %s\n", s.what, id, ToUtf8(wide).c_str());

            char name[midi::kNameSize];
            ASSERT_EQ(midi::kNoError, s.in ? b_.InGetDevCaps(id, name) : b_.OutGetDevCaps(id, name));
            EXPECT_EQ(Cut932(want), std::string(name));
        }
    }
}

// Each open handle answers with the index it was opened at: the program tells two
// devices of one name apart by it.
TEST_F(WinmmLoopback, EachHandleAnswersWithItsDevicesIndex) {
    for (uint32_t id = 0; id < b_.InGetNumDevs(); ++id) {
        midi::InHandle h = nullptr;
        ASSERT_EQ(midi::kNoError, b_.InOpen(&h, id, &Ignore, 0, midi::kCallbackFunction));
        uint32_t got = 99;
        EXPECT_EQ(midi::kNoError, b_.InGetID(h, &got));
        EXPECT_EQ(got, id);
        EXPECT_EQ(midi::kNoError, b_.InClose(h));
    }
    for (uint32_t id = 0; id < b_.OutGetNumDevs(); ++id) {
        midi::OutHandle h = nullptr;
        ASSERT_EQ(midi::kNoError, b_.OutOpen(&h, id, nullptr, 0));
        uint32_t got = 99;
        EXPECT_EQ(midi::kNoError, b_.OutGetID(h, &got));
        EXPECT_EQ(got, id);
        EXPECT_EQ(midi::kNoError, b_.OutClose(h));
    }
}

struct OutEvents {
    std::vector<midi::Header*> done;
    int opens = 0, closes = 0;
};

void CollectOut(midi::OutHandle, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t) {
    OutEvents* e = reinterpret_cast<OutEvents*>(instance);
    if (msg == midi::kMomOpen) ++e->opens;
    if (msg == midi::kMomClose) ++e->closes;
    if (msg == midi::kMomDone) e->done.push_back(reinterpret_cast<midi::Header*>(p1));
}

TEST_F(WinmmLoopback, MessagesSentOutReachTheDeviceAsTheirBytes) {
    const uint32_t last = b_.OutGetNumDevs() - 1;
    OutEvents events;
    midi::OutHandle h = nullptr;
    ASSERT_EQ(midi::kNoError, b_.OutOpen(&h, last, &CollectOut, reinterpret_cast<uintptr_t>(&events)));
    const size_t before = RecordSize();

    const struct {
        uint32_t msg;
        const char* want;
    } shorts[] = {
        {0x643C90, "90 3C 64"}, {0x00403E, "90 3E 40"},  // the second in running status
        {0x403C81, "81 3C 40"}, {0x7F07B2, "B2 07 7F"}, {0x0005C3, "C3 05"},
        {0x0040D4, "D4 40"},    {0x4000E5, "E5 00 40"}, {0x7F7FEF, "EF 7F 7F"},
    };
    for (const auto& k : shorts) EXPECT_EQ(midi::kNoError, b_.OutShortMsg(h, k.msg)) << k.want;

    char sysex[] = {'\xF0', '\x43', '\x10', '\x4C', '\x00', '\x00', '\x7E', '\x00', '\xF7'};
    midi::Header hdr{};
    hdr.lpData = sysex;
    hdr.dwBufferLength = sizeof sysex;
    ASSERT_EQ(midi::kNoError, b_.OutPrepareHeader(h, &hdr, sizeof hdr));
    ASSERT_EQ(midi::kNoError, b_.OutLongMsg(h, &hdr, sizeof hdr));
    for (int i = 0; i < 500 && !(midi::LoadFlags(hdr) & midi::kMhdrDone); ++i) Sleep(10);
    EXPECT_TRUE(midi::LoadFlags(hdr) & midi::kMhdrDone);
    EXPECT_EQ(midi::kNoError, b_.OutUnprepareHeader(h, &hdr, sizeof hdr));

    std::vector<std::string> want;
    const std::string port = std::to_string(last) + " ";
    for (const auto& k : shorts) want.push_back(port + k.want);
    want.push_back(port + "F0 43 10 4C 00 00 7E 00 F7");
    EXPECT_EQ(want, RecordFrom(before));

    // A reset silences every channel: at least one controller message on each.
    const size_t beforeReset = RecordSize();
    EXPECT_EQ(midi::kNoError, b_.OutReset(h));
    bool channel[16] = {};
    for (const std::string& l : RecordFrom(beforeReset)) {
        ASSERT_EQ(0u, l.find(port + "B")) << l;
        channel[std::stoi(l.substr(port.size() + 1, 1), nullptr, 16)] = true;
    }
    for (int c = 0; c < 16; ++c) EXPECT_TRUE(channel[c]) << "channel " << c;

    EXPECT_EQ(midi::kNoError, b_.OutClose(h));
    EXPECT_EQ(1, events.opens);
    EXPECT_EQ(1, events.closes);
    ASSERT_EQ(1u, events.done.size());
    EXPECT_EQ(&hdr, events.done[0]);
}

// What an input's callback saw, filled on winmm's callback thread.
struct InEvents {
    CRITICAL_SECTION lock;
    HANDLE changed;
    std::vector<uint32_t> data;
    std::vector<uint32_t> times;
    std::vector<midi::Header*> longData;
    InEvents() {
        InitializeCriticalSection(&lock);
        changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    ~InEvents() {
        CloseHandle(changed);
        DeleteCriticalSection(&lock);
    }
    // Waits until `done` holds, a hang guard of ten seconds at most.
    template <typename F>
    bool WaitFor(F done) {
        for (int i = 0; i < 100; ++i) {
            EnterCriticalSection(&lock);
            const bool ok = done();
            LeaveCriticalSection(&lock);
            if (ok) return true;
            WaitForSingleObject(changed, 100);
        }
        return false;
    }
};

void CollectIn(midi::InHandle, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
    InEvents* e = reinterpret_cast<InEvents*>(instance);
    EnterCriticalSection(&e->lock);
    if (msg == midi::kMimData) {
        e->data.push_back(static_cast<uint32_t>(p1));
        e->times.push_back(static_cast<uint32_t>(p2));
    }
    if (msg == midi::kMimLongData) e->longData.push_back(reinterpret_cast<midi::Header*>(p1));
    LeaveCriticalSection(&e->lock);
    SetEvent(e->changed);
}

TEST_F(WinmmLoopback, MessagesPlayedInArriveThroughTheCallbackAndQueuedBuffers) {
    InEvents events;
    midi::InHandle h = nullptr;
    ASSERT_EQ(midi::kNoError,
              b_.InOpen(&h, 0, &CollectIn, reinterpret_cast<uintptr_t>(&events), midi::kCallbackFunction));
    std::vector<char> bytes(2 * 256);
    midi::Header hdrs[2] = {};
    for (int i = 0; i < 2; ++i) {
        hdrs[i].lpData = bytes.data() + 256 * i;
        hdrs[i].dwBufferLength = 256;
        ASSERT_EQ(midi::kNoError, b_.InPrepareHeader(h, &hdrs[i], sizeof hdrs[i]));
        ASSERT_EQ(midi::kNoError, b_.InAddBuffer(h, &hdrs[i], sizeof hdrs[i]));
    }
    ASSERT_EQ(midi::kNoError, b_.InStart(h));

    // A 300-byte exclusive message, counting up.
    std::string sysexLine = "0 F0";
    std::vector<unsigned char> sysex{0xF0};
    for (int i = 0; i < 298; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", i & 0x7F);
        sysexLine += hex;
        sysex.push_back(static_cast<unsigned char>(i & 0x7F));
    }
    sysexLine += " F7\n";
    sysex.push_back(0xF7);
    const std::string other = ins_.size() > 1 ? "1 90 3D 64\n" : "";  // an input nobody opened
    Feed(other + "0 90 3C 64\n0 B1 07 64\n0 3E 65 E2 00 40\n" + sysexLine + "0 80 3C 00\n");

    ASSERT_TRUE(events.WaitFor([&] { return events.data.size() >= 5 && events.longData.size() >= 2; }));
    EnterCriticalSection(&events.lock);
    EXPECT_EQ((std::vector<uint32_t>{0x643C90, 0x6407B1, 0x653EB1, 0x4000E2, 0x003C80}), events.data);
    for (size_t i = 1; i < events.times.size(); ++i) EXPECT_LE(events.times[i - 1], events.times[i]);
    ASSERT_EQ(2u, events.longData.size());
    EXPECT_EQ(&hdrs[0], events.longData[0]);
    EXPECT_EQ(&hdrs[1], events.longData[1]);
    LeaveCriticalSection(&events.lock);
    EXPECT_EQ(256u, hdrs[0].dwBytesRecorded);
    EXPECT_EQ(44u, hdrs[1].dwBytesRecorded);
    EXPECT_EQ(0, std::memcmp(bytes.data(), sysex.data(), 256));
    EXPECT_EQ(0, std::memcmp(bytes.data() + 256, sysex.data() + 256, 44));

    EXPECT_EQ(midi::kNoError, b_.InStop(h));
    EXPECT_EQ(midi::kNoError, b_.InReset(h));
    for (auto& hdr : hdrs) EXPECT_EQ(midi::kNoError, b_.InUnprepareHeader(h, &hdr, sizeof hdr));
    EXPECT_EQ(midi::kNoError, b_.InClose(h));
}

}  // namespace

#endif  // _WIN32

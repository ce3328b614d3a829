// The winmm backend against the system's own MIDI services. Under Wine there is no
// MIDI hardware, so what can be checked is that every call reaches winmm and comes
// back with winmm's answer: device enumeration, and the refusal of ids and handles
// that name no device.
#ifdef _WIN32

#include "platform/winmm/winmm_backend.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

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
}

}  // namespace

#endif  // _WIN32

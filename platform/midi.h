#pragma once
// The MIDI device seam. The engine and the port setup dialog call these functions
// exactly as they would call winmm; the active backend is either winmm itself
// (Windows build) or the in-process `virtual` devices (both builds), which keep
// winmm's contract so that what is tested on them holds on real devices.
//
// The names and values mirror mmsystem.h but are spelt differently (kNoError, not
// MMSYSERR_NOERROR), because mmsystem.h defines its names as macros and both must be
// usable in one translation unit of the winmm backend.
#include <cstddef>
#include <cstdint>

namespace midi {

using Result = uint32_t;

// Result codes, with winmm's values.
constexpr Result kNoError = 0;          // MMSYSERR_NOERROR
constexpr Result kError = 1;            // MMSYSERR_ERROR
constexpr Result kBadDeviceId = 2;      // MMSYSERR_BADDEVICEID
constexpr Result kAllocated = 4;        // MMSYSERR_ALLOCATED
constexpr Result kInvalHandle = 5;      // MMSYSERR_INVALHANDLE
constexpr Result kNoDriver = 6;         // MMSYSERR_NODRIVER: the device was removed
constexpr Result kNoMem = 7;            // MMSYSERR_NOMEM
constexpr Result kInvalFlag = 10;       // MMSYSERR_INVALFLAG
constexpr Result kInvalParam = 11;      // MMSYSERR_INVALPARAM
constexpr Result kUnprepared = 64;      // MIDIERR_UNPREPARED
constexpr Result kStillPlaying = 65;    // MIDIERR_STILLPLAYING
constexpr Result kNotReady = 67;        // MIDIERR_NOTREADY

// Input callback message codes.
constexpr uint32_t kMimOpen = 0x3C1;
constexpr uint32_t kMimClose = 0x3C2;
constexpr uint32_t kMimData = 0x3C3;    // 963: a short message in param1
constexpr uint32_t kMimLongData = 0x3C4;
constexpr uint32_t kMimError = 0x3C5;
constexpr uint32_t kMimLongError = 0x3C6;

// Output callback message codes.
constexpr uint32_t kMomOpen = 0x3C7;
constexpr uint32_t kMomClose = 0x3C8;
constexpr uint32_t kMomDone = 0x3C9;    // a long send is done: its header in param1

// Header flags.
constexpr uint32_t kMhdrDone = 1;
constexpr uint32_t kMhdrPrepared = 2;
constexpr uint32_t kMhdrInQueue = 4;

constexpr uint32_t kCallbackFunction = 0x30000;  // CALLBACK_FUNCTION

// Same layout as winmm's MIDIHDR (the winmm backend checks this at compile time and
// hands these records to the system as they are). The system headers pack MIDIHDR,
// so on 64-bit Windows lpNext sits at offset 28, not 32: 4-byte packing gives the
// same offsets and keeps dwFlags aligned for its atomic access.
#pragma pack(push, 4)
struct Header {
    char* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    Header* lpNext;
    uintptr_t reserved;
    uint32_t dwOffset;
    uintptr_t dwReserved[8];
};
#pragma pack(pop)
static_assert(sizeof(Header) == 112, "MIDIHDR is 112 bytes");

// The device (a driver thread, in winmm) sets a header's flags while the application
// polls them. The device stores the recorded bytes and count first and then the flags
// with release; the application loads the flags with acquire before it reads the
// bytes. Both go through these two functions and nowhere else.
inline uint32_t LoadFlags(const Header& h) { return __atomic_load_n(&h.dwFlags, __ATOMIC_ACQUIRE); }
inline void StoreFlags(Header& h, uint32_t f) { __atomic_store_n(&h.dwFlags, f, __ATOMIC_RELEASE); }

struct InDevice;   // opaque; winmm's HMIDIIN or a virtual input
struct OutDevice;  // opaque; winmm's HMIDIOUT or a virtual output
using InHandle = InDevice*;
using OutHandle = OutDevice*;

// winmm's MidiInProc: (handle, message code, instance data, param1, param2).
using InCallback = void (*)(InHandle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);
// winmm's MidiOutProc, the same form: kMomOpen, kMomClose, and kMomDone once a long
// send's header is done (param1 the header).
using OutCallback = void (*)(OutHandle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);

// A device's name in 932, its NUL included: the 32 characters of the capability
// record's szPname, asked for wide and converted (cut where no character breaks).
constexpr size_t kNameSize = 32;

class Backend {
public:
    virtual ~Backend() = default;

    virtual uint32_t InGetNumDevs() = 0;
    // Copies the device name (NUL-terminated, at most kNameSize - 1 bytes) into name.
    virtual Result InGetDevCaps(uint32_t id, char (&name)[kNameSize]) = 0;
    virtual Result InOpen(InHandle* handle, uint32_t id, InCallback cb, uintptr_t instance, uint32_t flags) = 0;
    virtual Result InStart(InHandle h) = 0;
    virtual Result InStop(InHandle h) = 0;
    virtual Result InReset(InHandle h) = 0;
    virtual Result InClose(InHandle h) = 0;
    virtual Result InPrepareHeader(InHandle h, Header* hdr, uint32_t size) = 0;
    virtual Result InUnprepareHeader(InHandle h, Header* hdr, uint32_t size) = 0;
    virtual Result InAddBuffer(InHandle h, Header* hdr, uint32_t size) = 0;
    // The index an open device has (midiInGetID), or kNoDriver once it is gone. Two
    // devices of one name can be told apart by it, but only where the answer follows
    // the list as it changes (IdsFollowRenumbering): winmm answers with the index the
    // handle was opened at, which a device plugged in or out before it leaves stale.
    virtual Result InGetID(InHandle h, uint32_t* id) = 0;

    virtual uint32_t OutGetNumDevs() = 0;
    virtual Result OutGetDevCaps(uint32_t id, char (&name)[kNameSize]) = 0;
    // With a callback function (CALLBACK_FUNCTION) when cb is not null, else without
    // one (CALLBACK_NULL).
    virtual Result OutOpen(OutHandle* handle, uint32_t id, OutCallback cb, uintptr_t instance) = 0;
    virtual Result OutClose(OutHandle h) = 0;
    // Ends pending long sends (their headers come back done) and silences the device.
    virtual Result OutReset(OutHandle h) = 0;
    virtual Result OutShortMsg(OutHandle h, uint32_t msg) = 0;
    virtual Result OutPrepareHeader(OutHandle h, Header* hdr, uint32_t size) = 0;
    virtual Result OutLongMsg(OutHandle h, Header* hdr, uint32_t size) = 0;
    virtual Result OutUnprepareHeader(OutHandle h, Header* hdr, uint32_t size) = 0;
    virtual Result OutGetID(OutHandle h, uint32_t* id) = 0;
    // Whether InGetID and OutGetID give the index a device has now, after other
    // devices came or went, rather than the one it was opened at.
    virtual bool IdsFollowRenumbering() const { return false; }
};

// The backend every call below goes to. Set once at start-up (or by a test) before
// any device is opened; never changed while a device is open.
void SetBackend(Backend* backend);
Backend& CurrentBackend();

inline uint32_t InGetNumDevs() { return CurrentBackend().InGetNumDevs(); }
inline Result InGetDevCaps(uint32_t id, char (&name)[kNameSize]) { return CurrentBackend().InGetDevCaps(id, name); }
inline Result InOpen(InHandle* h, uint32_t id, InCallback cb, uintptr_t inst, uint32_t flags) { return CurrentBackend().InOpen(h, id, cb, inst, flags); }
inline Result InStart(InHandle h) { return CurrentBackend().InStart(h); }
inline Result InStop(InHandle h) { return CurrentBackend().InStop(h); }
inline Result InReset(InHandle h) { return CurrentBackend().InReset(h); }
inline Result InClose(InHandle h) { return CurrentBackend().InClose(h); }
inline Result InPrepareHeader(InHandle h, Header* hdr) { return CurrentBackend().InPrepareHeader(h, hdr, sizeof(Header)); }
inline Result InUnprepareHeader(InHandle h, Header* hdr) { return CurrentBackend().InUnprepareHeader(h, hdr, sizeof(Header)); }
inline Result InAddBuffer(InHandle h, Header* hdr) { return CurrentBackend().InAddBuffer(h, hdr, sizeof(Header)); }
inline Result InGetID(InHandle h, uint32_t* id) { return CurrentBackend().InGetID(h, id); }

inline uint32_t OutGetNumDevs() { return CurrentBackend().OutGetNumDevs(); }
inline Result OutGetDevCaps(uint32_t id, char (&name)[kNameSize]) { return CurrentBackend().OutGetDevCaps(id, name); }
inline Result OutOpen(OutHandle* h, uint32_t id, OutCallback cb = nullptr, uintptr_t inst = 0) { return CurrentBackend().OutOpen(h, id, cb, inst); }
inline Result OutClose(OutHandle h) { return CurrentBackend().OutClose(h); }
inline Result OutReset(OutHandle h) { return CurrentBackend().OutReset(h); }
inline Result OutShortMsg(OutHandle h, uint32_t msg) { return CurrentBackend().OutShortMsg(h, msg); }
inline Result OutPrepareHeader(OutHandle h, Header* hdr) { return CurrentBackend().OutPrepareHeader(h, hdr, sizeof(Header)); }
inline Result OutLongMsg(OutHandle h, Header* hdr) { return CurrentBackend().OutLongMsg(h, hdr, sizeof(Header)); }
inline Result OutUnprepareHeader(OutHandle h, Header* hdr) { return CurrentBackend().OutUnprepareHeader(h, hdr, sizeof(Header)); }
inline Result OutGetID(OutHandle h, uint32_t* id) { return CurrentBackend().OutGetID(h, id); }
inline bool IdsFollowRenumbering() { return CurrentBackend().IdsFollowRenumbering(); }

}  // namespace midi

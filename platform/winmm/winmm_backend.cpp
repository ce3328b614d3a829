#include "platform/winmm/winmm_backend.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "platform/cp932.h"
#include "platform/wide_text.h"

namespace midi {

// Headers go to winmm as they are, so the whole record must be MIDIHDR's byte-packed
// layout: not only the fields the engine uses, but also those winmm keeps for itself.
static_assert(offsetof(Header, lpData) == offsetof(MIDIHDR, lpData), "lpData");
static_assert(offsetof(Header, dwBufferLength) == offsetof(MIDIHDR, dwBufferLength), "dwBufferLength");
static_assert(offsetof(Header, dwBytesRecorded) == offsetof(MIDIHDR, dwBytesRecorded), "dwBytesRecorded");
static_assert(offsetof(Header, dwUser) == offsetof(MIDIHDR, dwUser), "dwUser");
static_assert(offsetof(Header, dwFlags) == offsetof(MIDIHDR, dwFlags), "dwFlags");
static_assert(sizeof(Header::dwFlags) == sizeof(MIDIHDR::dwFlags), "dwFlags size");
static_assert(offsetof(Header, lpNext) == offsetof(MIDIHDR, lpNext), "lpNext");
static_assert(offsetof(Header, reserved) == offsetof(MIDIHDR, reserved), "reserved");
static_assert(offsetof(Header, dwOffset) == offsetof(MIDIHDR, dwOffset), "dwOffset");
static_assert(offsetof(Header, dwReserved) == offsetof(MIDIHDR, dwReserved), "dwReserved");
static_assert(sizeof(Header) == sizeof(MIDIHDR), "winmm links queued headers through lpNext and keeps its state in the reserved fields");

// The seam's constants are winmm's values: results and flags pass through unchanged.
static_assert(kNoError == MMSYSERR_NOERROR && kError == MMSYSERR_ERROR, "results");
static_assert(kBadDeviceId == MMSYSERR_BADDEVICEID && kAllocated == MMSYSERR_ALLOCATED, "results");
static_assert(kInvalHandle == MMSYSERR_INVALHANDLE && kNoMem == MMSYSERR_NOMEM, "results");
static_assert(kInvalFlag == MMSYSERR_INVALFLAG && kInvalParam == MMSYSERR_INVALPARAM, "results");
static_assert(kUnprepared == MIDIERR_UNPREPARED && kStillPlaying == MIDIERR_STILLPLAYING, "results");
static_assert(kNotReady == MIDIERR_NOTREADY && kNoDriver == MMSYSERR_NODRIVER, "results");
static_assert(kMimOpen == MIM_OPEN && kMimClose == MIM_CLOSE && kMimData == MIM_DATA, "messages");
static_assert(kMimLongData == MIM_LONGDATA && kMimError == MIM_ERROR && kMimLongError == MIM_LONGERROR, "messages");
static_assert(kMomOpen == MOM_OPEN && kMomClose == MOM_CLOSE && kMomDone == MOM_DONE, "messages");
static_assert(kMhdrDone == MHDR_DONE && kMhdrPrepared == MHDR_PREPARED && kMhdrInQueue == MHDR_INQUEUE, "flags");
static_assert(kCallbackFunction == CALLBACK_FUNCTION, "flags");
static_assert(kNameSize == MAXPNAMELEN, "device name size");

namespace {

// What an open input's InHandle points to. winmm calls the trampoline with the
// record as its instance data, and the trampoline calls the engine's callback with
// the engine's own instance data and the handle the engine got from InOpen.
// Allocated at open and freed only after midiInClose has returned, because winmm
// may call back (MIM_CLOSE, late MIM_LONGDATA) until then.
struct InRecord {
    InCallback callback;
    uintptr_t instance;
    HMIDIIN device;
};

// What an open output's OutHandle points to, on the same terms as InRecord: the
// trampoline hands the engine its own instance data and handle, and the record lives
// until midiOutClose has returned, since winmm may call back (MOM_DONE from a driver
// thread, MOM_CLOSE) until then. An output opened without a callback has one too,
// with no callback, so that every handle maps to its device the same way.
struct OutRecord {
    OutCallback callback;
    uintptr_t instance;
    HMIDIOUT device;
};

InRecord* Record(InHandle h) { return reinterpret_cast<InRecord*>(h); }
InHandle Handle(InRecord* r) { return reinterpret_cast<InHandle>(r); }
OutRecord* Record(OutHandle h) { return reinterpret_cast<OutRecord*>(h); }
OutHandle Handle(OutRecord* r) { return reinterpret_cast<OutHandle>(r); }

// The end of an open, inputs and outputs alike: the record becomes the handle once
// the device is open, and is freed when the open failed.
template <class RecordT, class DeviceT, class HandleT>
Result Opened(Result res, RecordT* r, DeviceT device, HandleT* handle) {
    if (res != kNoError) {
        delete r;
        return res;
    }
    r->device = device;
    *handle = Handle(r);
    return kNoError;
}

// A close, inputs and outputs alike: a refused one (buffers still queued, sends still
// pending) leaves the device open and calling back, so its record stays.
template <class HandleT, class CloseDevice>
Result Close(HandleT h, CloseDevice closeDevice) {
    if (!h) return kInvalHandle;
    auto* r = Record(h);
    const Result res = closeDevice(r->device);
    if (res == kNoError) delete r;
    return res;
}

// Runs on winmm's callback thread, which must not be held up: it only forwards.
// It is also called from inside midiInOpen (MIM_OPEN), before the record's device
// field is set, so it must not read that field.
void CALLBACK InTrampoline(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2) {
    InRecord* r = reinterpret_cast<InRecord*>(instance);
    if (r->callback) r->callback(Handle(r), msg, r->instance, param1, param2);
}

// The same for outputs: MOM_OPEN comes from inside midiOutOpen, before the device
// field is set; MOM_DONE may come from a driver thread or from inside
// midiOutLongMsg or midiOutReset.
void CALLBACK OutTrampoline(HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2) {
    OutRecord* r = reinterpret_cast<OutRecord*>(instance);
    if (r->callback) r->callback(Handle(r), msg, r->instance, param1, param2);
}

// The driver's name, asked for wide, in 932 and cut to the field without half a
// character (a 32-character name can need more than 32 bytes).
void CopyName(const wchar_t* from, char (&name)[kNameSize]) {
    Cp932CopyCut(name, text::Narrow(from, wcsnlen(from, MAXPNAMELEN)).c_str(), kNameSize - 1);
}

// A device's name from its capabilities, inputs and outputs alike.
template <class Caps, class GetCaps>
Result DeviceName(GetCaps getCaps, uint32_t id, char (&name)[kNameSize]) {
    Caps caps;
    std::memset(&caps, 0, sizeof caps);
    const Result r = getCaps(id, &caps, sizeof caps);
    if (r == kNoError) CopyName(caps.szPname, name);
    return r;
}

MIDIHDR* Hdr(Header* h) { return reinterpret_cast<MIDIHDR*>(h); }

// Every other call: the handle's device, or kInvalHandle for no handle.
template <class HandleT, class Call, class... Args>
Result OnDevice(HandleT h, Call call, Args... args) {
    return h ? call(Record(h)->device, args...) : kInvalHandle;
}

// midiInGetID, midiOutGetID: *id only when it answers.
template <class HandleT, class Call>
Result DeviceId(HandleT h, Call call, uint32_t* id) {
    if (!id) return kInvalParam;
    UINT got = 0;
    const Result r = OnDevice(h, call, &got);
    if (r == kNoError) *id = got;
    return r;
}

}  // namespace

uint32_t WinmmBackend::InGetNumDevs() { return midiInGetNumDevs(); }

Result WinmmBackend::InGetDevCaps(uint32_t id, char (&name)[kNameSize]) {
    return DeviceName<MIDIINCAPSW>(midiInGetDevCapsW, id, name);
}

Result WinmmBackend::InOpen(InHandle* handle, uint32_t id, InCallback cb, uintptr_t instance, uint32_t flags) {
    if (!handle) return kInvalParam;
    DWORD kind = flags & CALLBACK_TYPEMASK;
    if (kind != CALLBACK_NULL && kind != CALLBACK_FUNCTION) return kInvalFlag;
    if (kind == CALLBACK_FUNCTION && !cb) return kInvalParam;
    InRecord* r = new (std::nothrow) InRecord{cb, instance, nullptr};
    if (!r) return kNoMem;
    HMIDIIN device = nullptr;
    Result res;
    if (kind == CALLBACK_FUNCTION) {
        res = midiInOpen(&device, id, reinterpret_cast<DWORD_PTR>(&InTrampoline), reinterpret_cast<DWORD_PTR>(r),
                         flags);
    } else {
        res = midiInOpen(&device, id, 0, 0, flags);
    }
    return Opened(res, r, device, handle);
}

Result WinmmBackend::InGetID(InHandle h, uint32_t* id) { return DeviceId(h, midiInGetID, id); }

Result WinmmBackend::InStart(InHandle h) { return OnDevice(h, midiInStart); }
Result WinmmBackend::InStop(InHandle h) { return OnDevice(h, midiInStop); }
Result WinmmBackend::InReset(InHandle h) { return OnDevice(h, midiInReset); }

Result WinmmBackend::InClose(InHandle h) { return Close(h, midiInClose); }

Result WinmmBackend::InPrepareHeader(InHandle h, Header* hdr, uint32_t size) {
    return OnDevice(h, midiInPrepareHeader, Hdr(hdr), size);
}

Result WinmmBackend::InUnprepareHeader(InHandle h, Header* hdr, uint32_t size) {
    return OnDevice(h, midiInUnprepareHeader, Hdr(hdr), size);
}

Result WinmmBackend::InAddBuffer(InHandle h, Header* hdr, uint32_t size) {
    return OnDevice(h, midiInAddBuffer, Hdr(hdr), size);
}

uint32_t WinmmBackend::OutGetNumDevs() { return midiOutGetNumDevs(); }

Result WinmmBackend::OutGetDevCaps(uint32_t id, char (&name)[kNameSize]) {
    return DeviceName<MIDIOUTCAPSW>(midiOutGetDevCapsW, id, name);
}

Result WinmmBackend::OutOpen(OutHandle* handle, uint32_t id, OutCallback cb, uintptr_t instance) {
    if (!handle) return kInvalParam;
    OutRecord* r = new (std::nothrow) OutRecord{cb, instance, nullptr};
    if (!r) return kNoMem;
    HMIDIOUT device = nullptr;
    Result res;
    if (cb) {
        res = midiOutOpen(&device, id, reinterpret_cast<DWORD_PTR>(&OutTrampoline), reinterpret_cast<DWORD_PTR>(r),
                          CALLBACK_FUNCTION);
    } else {
        res = midiOutOpen(&device, id, 0, 0, CALLBACK_NULL);
    }
    return Opened(res, r, device, handle);
}

Result WinmmBackend::OutClose(OutHandle h) { return Close(h, midiOutClose); }

Result WinmmBackend::OutReset(OutHandle h) { return OnDevice(h, midiOutReset); }
Result WinmmBackend::OutShortMsg(OutHandle h, uint32_t msg) { return OnDevice(h, midiOutShortMsg, msg); }

Result WinmmBackend::OutPrepareHeader(OutHandle h, Header* hdr, uint32_t size) {
    return OnDevice(h, midiOutPrepareHeader, Hdr(hdr), size);
}

Result WinmmBackend::OutLongMsg(OutHandle h, Header* hdr, uint32_t size) {
    return OnDevice(h, midiOutLongMsg, Hdr(hdr), size);
}

Result WinmmBackend::OutUnprepareHeader(OutHandle h, Header* hdr, uint32_t size) {
    return OnDevice(h, midiOutUnprepareHeader, Hdr(hdr), size);
}

Result WinmmBackend::OutGetID(OutHandle h, uint32_t* id) { return DeviceId(h, midiOutGetID, id); }

}  // namespace midi

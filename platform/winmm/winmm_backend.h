#pragma once
// The real MIDI devices of a Windows system, through winmm. Windows build only.
// Kept free of <windows.h> so that the code choosing a backend need not include it.
#include "platform/midi.h"

namespace midi {

class WinmmBackend : public Backend {
public:
    uint32_t InGetNumDevs() override;
    Result InGetDevCaps(uint32_t id, char (&name)[kNameSize]) override;
    // Only function callbacks (kCallbackFunction) and no callback at all (flags 0)
    // are supported; other callback kinds give kInvalFlag.
    Result InOpen(InHandle* handle, uint32_t id, InCallback cb, uintptr_t instance, uint32_t flags) override;
    Result InStart(InHandle h) override;
    Result InStop(InHandle h) override;
    Result InReset(InHandle h) override;
    Result InClose(InHandle h) override;
    Result InPrepareHeader(InHandle h, Header* hdr, uint32_t size) override;
    Result InUnprepareHeader(InHandle h, Header* hdr, uint32_t size) override;
    Result InAddBuffer(InHandle h, Header* hdr, uint32_t size) override;
    // midiInGetID: the index the handle was opened at (Wine keeps it from the open,
    // and nothing documents that Windows renumbers it), so IdsFollowRenumbering is
    // false here.
    Result InGetID(InHandle h, uint32_t* id) override;

    uint32_t OutGetNumDevs() override;
    Result OutGetDevCaps(uint32_t id, char (&name)[kNameSize]) override;
    // With a callback, opened as CALLBACK_FUNCTION through a trampoline that gives the
    // callback this backend's handle; without one, as CALLBACK_NULL.
    Result OutOpen(OutHandle* handle, uint32_t id, OutCallback cb, uintptr_t instance) override;
    Result OutClose(OutHandle h) override;
    Result OutReset(OutHandle h) override;
    Result OutShortMsg(OutHandle h, uint32_t msg) override;
    Result OutPrepareHeader(OutHandle h, Header* hdr, uint32_t size) override;
    Result OutLongMsg(OutHandle h, Header* hdr, uint32_t size) override;
    Result OutUnprepareHeader(OutHandle h, Header* hdr, uint32_t size) override;
    Result OutGetID(OutHandle h, uint32_t* id) override;
};

}  // namespace midi

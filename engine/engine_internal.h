#pragma once
// What the engine's own files share beyond engine.h.
#include <cstddef>

#include "app/settings_model.h"
#include "engine/engine.h"

// The settings bound by BindEngineSettings (built-in defaults until then).
const KavoSettings& EngineSettings();

// Calls the hook set by SetBeforeStartHook, if any.
void RunBeforeStartHook();

// Empties route r's ring. Only while nothing writes or reads it: its input closed
// (no callback) and no worker.
void ClearRing(int r);

// ---- memory handed to devices ---------------------------------------------------
// A driver keeps the addresses of the headers (and their data) it was given until it
// hands them back, and a wedged one may not hand them back at all, even on reset. So
// every header the engine gives a device, and its bytes, live here, in storage that
// lasts as long as the program, never on a caller's or the worker's stack; and a piece
// stays reserved for as long as a device may still touch it.

// Long output messages: each is copied into a slot of its route and sent from there.
// The copy has to come first: the addresses a device was given cannot be changed
// afterwards, so a send that might leave its header with the device must not hand it
// the caller's memory. A slot the device did not hand back in time is parked (heldBy)
// until the device returns it or is closed. One parked slot makes the output unusable,
// so a session parks at most one per route; the rest cover devices still held from
// earlier sessions. Guarded by outputLock[r].
constexpr int kLongSlots = 4;
constexpr uint32_t kLongSlotSize = kSysExBufferSize;
struct LongSlot {
    midi::Header header;
    char bytes[kLongSlotSize];
    midi::OutHandle heldBy;  // the output still holding this header, or nullptr
};
extern LongSlot longSlot[2][kLongSlots];

// Unprepares and frees route r's parked headers that `out` has handed back by now;
// after `out` is closed (closed = true) frees all of its parked headers, since a closed
// device can no longer touch them. Returns how many it still holds.
int ReleaseParkedHeaders(int r, midi::OutHandle out, bool closed);

// The SysEx input buffers of one input. The worker takes a free bank per open input
// when it starts; the bank stays the input's (owner) until the input is closed, which
// may be long after the worker has ended if the driver kept buffers past the reset.
// Two per route: a route can start again while its previous input is still held.
// Written by the worker at its set-up and by the user-interface thread only while no
// worker runs.
constexpr int kSysExBanks = 2;
struct SysExBank {
    char buffer[kSysExBuffers][kSysExBufferSize];
    midi::Header header[kSysExBuffers];
    midi::InHandle owner;  // the input these headers were given to, or nullptr: free
};
extern SysExBank sysExBank[2][kSysExBanks];

// The bank that input `in` owns, or nullptr.
SysExBank* BankOf(midi::InHandle in);
// Unprepares every header of the bank that the device has handed back (prepared and
// no longer queued); a header still queued is the device's and is left alone.
void UnprepareReturnedHeaders(midi::InHandle in, SysExBank& bank);

// True when the n bytes at p lie inside the storage above.
bool IsEngineStorage(const void* p, size_t n);

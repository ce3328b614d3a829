#pragma once
// What the engine's own files share beyond engine.h. They call one way, a file knowing
// nothing of those that use it: routes, then worker, then output, held_notes and
// metronome, then transforms, monitor_tap and start_hook, and engine_state (the shared
// state: handles, rings, output locks, losses) at the bottom.
#include <atomic>
#include <chrono>
#include <cstddef>

#include "engine/engine.h"
#include "engine/settings.h"

using EngineClock = std::chrono::steady_clock;

// Calls the hook set by SetBeforeOpenHook, if any (nothing missing without one).
MissingDevices RunBeforeOpenHook(const HeldDevices& held);
// Calls the hook set by SetStageHook, if any.
extern std::atomic<void (*)(EngineStage, int, uint32_t)> stageHook;
inline void StampStage(EngineStage stage, int route, uint32_t message) {
    if (auto hook = stageHook.load(std::memory_order_relaxed)) hook(stage, route, message);
}

// ---- devices that go -------------------------------------------------------------
// A device that answers kNoDriver (removed) or kError (its driver failed) is gone.
inline bool Gone(midi::Result r) { return r == midi::kNoError ? false : r == midi::kNoDriver || r == midi::kError; }
// Marks route r's input, or opened output i, lost and tells the loss listener (once
// per loss). Any thread.
void MarkInputLost(int r);
void MarkOutputLost(int i);
// Opened output i takes messages: neither wedged (outputUnusable) nor lost.
inline bool OutputTakes(int i) { return outputUnusable[i] != 1 && outputLost[i] != 1; }
// The user-interface thread's hold of opened output i (its sends, the panel's). While
// it waits for the lock the worker starts nothing new there, so that a bank of SysEx
// waiting in a backlog cannot keep the panel (and the whole user interface) waiting
// until the last message has left: it gets the output after the message in flight.
class UiOutputHold {
public:
    explicit UiOutputHold(int i);
    ~UiOutputHold();
    UiOutputHold(const UiOutputHold&) = delete;
    UiOutputHold& operator=(const UiOutputHold&) = delete;

private:
    int i_;
};
// How many user-interface holds wait for opened output i (the worker's look).
extern std::atomic<int32_t> outputWanted[2];

// One short message to opened output i; an answer that the device is gone marks it
// lost. The caller holds outputLock[i], or no worker runs.
void SendShortTo(int i, midi::OutHandle out, uint32_t m);

// ---- the worker held while the routes run -----------------------------------------
// HealRoutes holds the worker to change the devices it reads. The worker pauses at the
// top of its loop (PauseWorker returns once it has) and keeps what it has in hand: a
// long message in flight on an output that stays, the output it holds for a message
// sent in parts, its backlogs. It lets go only of the outputs about to be closed
// (outputDropping[i]: a long message in flight there is left with the device). The
// inputs stay started meanwhile: their callbacks fill the rings and their buffers stay
// with the devices, so nothing is lost. ResumeWorker lets it go on (or ends it when no
// input is left open). inputFresh[r]: route r's input opened since the worker last
// looked; it queues its buffers and gathers its SysEx afresh. releasePending[r]: the
// notes route r's closed input left sounding get their note-offs from the worker, once
// their output is free of the long message it is busy with. These are written by the
// user-interface thread only while the worker is paused or absent.
extern bool outputDropping[2];
extern bool inputFresh[2];
extern bool releasePending[2];
// Pauses a running worker (true) or does nothing (false: no worker runs).
bool PauseWorker();
// After PauseWorker: lets the worker go on, or, with endIt, makes it end and joins it.
void ResumePausedWorker(bool endIt);
// While the worker is paused: it keeps opened output i (its lock) for a long message
// in flight or one sent in parts. Nothing may be sent there until it lets go.
bool WorkerKeepsOutput(int i);
// While the worker is paused: it holds an output, has SysEx waiting in a backlog, or
// owes note-offs. A heal that leaves no input open lets such a worker finish first
// (it ends at the next heal or stop) rather than wait for a cable here.
bool WorkerHasWorkInHand();
// Leaves output i's long message in flight with its device (its buffer is parked and
// freed when the device closes), without marking the output unusable.
void AbandonLong(int i);

// The route whose output a shared opened output is: both routes hold one handle when
// they name one output device, and the route that opened it owns its lock and buffer.
// Written by the user-interface thread while no worker runs or it is paused.
extern Relaxed<int32_t> sharedOutputOwner;

// The metronome's step with Port read once by the caller (the worker, which holds
// that output's lock), and the tempo it plays at.
void MetronomeStepOn(int32_t port);
uint32_t MetronomeTempo(int32_t mTempo);

// The notes route r has turned on at its output and not yet off. ForwardedMessage
// gives what the worker sends for message m of route r (transformed when `transform`),
// sending a note-off to the key its note-on went out as, whatever the transform is by
// then. ReleaseHeldNotes sends a
// note-off for every note still on, and releases a sustain pedal left down, on route
// r's output (the caller holds that output, or no worker runs). ClearHeldNotes forgets
// them (a start). No allocation, no lock: the worker's path.
uint32_t ForwardedMessage(int r, uint32_t m, bool transform);
void ReleaseHeldNotes(int r);
void ClearHeldNotes(int r);

// Empties route r's ring. Only while nothing writes or reads it: its input closed
// (no callback) and no worker.
void ClearRing(int r);

// ---- memory handed to devices ---------------------------------------------------
// A driver keeps the addresses of the headers (and their data) it was given until it
// hands them back, and a wedged one may not hand them back at all, even on reset. So
// every header the engine gives a device, and its bytes, are allocated by the engine
// (never a caller's or the worker's stack) and freed only once the device has handed
// them back or has been closed. What a device keeps is left with it, on purpose, and
// counted (BytesLeftWithDevices); nothing is ever taken from a fixed pool, so a device
// wedged yesterday costs nothing but its memory today.

// The SysEx input buffers of one open input, made when the input opens.
struct SysExBank {
    char buffer[kSysExBuffers][kSysExBufferSize];
    midi::Header header[kSysExBuffers];
};
extern SysExBank* inputBank[2];  // route r's, while its input is open

// The one long-message buffer of an opened output: forwarded SysEx and the panel's
// messages are copied here and sent from here, one at a time (outputLock).
struct LongBuffer {
    midi::Header header;
    char bytes[kMaxLongMessage];
};

// Per opened output (OutputIndex): its buffer, made on first use, and a buffer the
// device kept past its deadline and a reset (the output is unusable from then on).
// Guarded by outputLock.
extern LongBuffer* outputBuffer[2];
extern LongBuffer* parkedBuffer[2];

// Sends one long message from output i's buffer: copies, prepares (flags zero, as
// drivers require) and sends. False when nothing went out (the header is unprepared
// again). The caller holds outputLock[i] and then owns the flight until FinishLong.
// The bytes may come in two pieces (a message that wraps around a backlog's end).
bool StartLong(int i, midi::OutHandle out, const uint8_t* bytes, uint32_t count, const uint8_t* more = nullptr,
               uint32_t moreCount = 0);
enum class LongState { InFlight, Done, Kept };
// Looks at output i's long message in flight: done (unprepared, the buffer free
// again), or still in flight. Past its deadline the device is told to hand it back
// (OutReset); past the reset's deadline too, the buffer is parked with the device and
// the output is unusable (Kept). Never waits.
LongState PollLong(int i, midi::OutHandle out);
// When PollLong next needs to look even if no notification comes.
EngineClock::time_point LongDeadline(int i);
// Blocks until PollLong says Done or Kept (the user-interface thread's sends, and the
// worker as it ends), waiting on the output notifications.
LongState FinishLong(int i, midi::OutHandle out);

// The output's callback: a long message done wakes whoever waits for it.
void OutputCallback(midi::OutHandle h, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);
// Pulsed with the worker's event at every long message done; waited on by a sender on
// the user-interface thread.
extern platform::WakeEvent longDoneEvent;

// The buffers a route's input is closed with: unprepares every header the device has
// handed back (prepared and no longer queued); true when none is still queued.
bool UnprepareReturnedHeaders(midi::InHandle in, SysExBank& bank);

// True when the n bytes at p lie inside memory the engine gave, gives or left to a
// device (the buffers above, and those of held devices).
bool IsEngineStorage(const void* p, size_t n);
bool IsHeldStorage(const void* p, size_t n);
bool InsideBlock(const void* p, size_t n, const void* block, size_t size);

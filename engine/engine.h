#pragma once
// The routing engine: plain functions over module-level state. The user-interface
// thread starts and stops the routes and changes the settings; the system's input
// callbacks fill one ring per route; one worker thread forwards, transforms and plays
// the metronome. Route numbers are 0 and 1 here (1 and 2 in the user interface).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/midi.h"
#include "platform/relaxed.h"
#include "platform/wake_event.h"
#include "platform/worker_thread.h"

struct KavoSettings;

constexpr uint32_t kRingSize = 1024;
constexpr int kSysExBuffers = 16;
constexpr uint32_t kSysExBufferSize = 256;
// A forwarded SysEx message is gathered from its input buffers and leaves as one long
// message of up to this many bytes (a longer one leaves in parts of this size, its
// output held for it from the first part to the last); the panel's long messages are
// sent in parts of this size too. Wine wraps every long message that lacks F0 or F7 in
// them, so a message sent in parts arrives there as several messages.
constexpr uint32_t kMaxLongMessage = 64 * 1024;
// A SysEx message whose F7 does not come: what was gathered leaves as it is, and an
// output held for its remaining parts is let go, once no byte of it has come for this
// long (a 256-byte buffer fills in 82 ms on a MIDI cable).
constexpr auto kSysExGapLimit = std::chrono::milliseconds(500);
// SysEx messages that wait for their output (a bank sent faster than a MIDI cable
// takes it) wait in their route's backlog, whole, while the worker goes on taking the
// input's buffers: up to this many bytes and this many messages (or parts) per route,
// fixed before the worker runs. Beyond that a message is dropped whole, and counted.
constexpr uint32_t kSysExBacklogBytes = 1024 * 1024;
constexpr uint32_t kSysExBacklogParts = 4096;

// ---- module state -------------------------------------------------------------
// 1 from the start of StartRoutes until StopRoutes. The worker polls it.
extern Relaxed<int32_t> engineRunning;
// 1 from the moment StopRoutes begins to stop the inputs until the next StartRoutes:
// the empty SysEx buffers that a reset hands back are then held back, not queued again.
extern Relaxed<int32_t> stopBegun;
// Open devices, or nullptr. Written only by StartRoutes/StopRoutes on the
// user-interface thread, never while a worker that reads them runs. Both routes may
// hold the same output handle: an output device named by both is opened once (many
// drivers take a single client), and both routes send through it.
extern midi::InHandle routeIn[2];
extern midi::OutHandle routeOut[2];
// Which opened output route r's output is: 0 or 1, the index of everything that
// serialises an output (outputLock, outputUnusable). Route 2 shares route 1's when
// both hold one handle.
int OutputIndex(int route);
// One single-producer (input callback), single-consumer (worker) ring per route.
extern uint32_t inputRing[2][kRingSize];
extern std::atomic<uint32_t> ringWrite[2];  // written with release by the callback
extern std::atomic<uint32_t> ringRead[2];   // written with release by the worker
// Messages the callback had to drop because the worker had not made room (full ring).
extern std::atomic<uint32_t> ringDrops[2];
// SysEx messages route r did not forward: whole messages that found no room in its
// backlog, and messages whose bytes were lost on the way (a new F0 came before their
// F7, or their device was lost or reopened in the middle) or that began without F0
// (the rest of a message cut by a sleep, an unplug or a reopen). Written by the worker.
extern std::atomic<uint32_t> backlogDrops[2];
extern std::atomic<uint32_t> cutSysExDrops[2];
extern platform::WakeEvent wakeEvent;
// How often the worker has come back from its wait (the benchmark's idle figure), and
// how many of those waits ran to their end with no wake. An idle worker (no input, the
// metronome off) waits with no time-out at all.
extern std::atomic<uint64_t> workerWakeups;
extern std::atomic<uint64_t> workerTimeouts;
extern platform::WorkerThread workerThread;
// The "Time Out" setting, in ms (default 1): how long the worker goes without looking
// at a long message in flight when no notification comes (a driver that finishes one
// without calling back). Nothing else waits for it: no wake-up is ever lost, and an
// idle worker sleeps until input comes. Read through EffectiveWaitTimeout.
extern Relaxed<uint32_t> waitTimeout;

// Transform settings (copies made at start-up and by the control panel).
extern Relaxed<int32_t> velConvertOn;
extern Relaxed<int32_t> transposeOn;
extern Relaxed<int16_t> transposeSemitones;
extern Relaxed<int32_t> transformRoute;
extern Relaxed<uint8_t> velocityTable[128];
// The channel the transformed route's channel-voice messages leave on (0..15); any
// other value (16, "ALL", or a damaged stored one) leaves each on its own channel.
extern Relaxed<int32_t> transformChannel;

// Metronome.
extern Relaxed<int32_t> metronomeOn;
extern Relaxed<uint32_t> beatIndex;
extern uint32_t lastTickTime;  // worker only (and tests while no worker runs)

// One per opened output (OutputIndex). Everything sent to an output is sent under its
// lock, so nothing lands inside a long message on the wire: the user-interface thread
// waits for it, the worker only tries it and comes back later. The worker keeps it
// from the start of a forwarded SysEx message to its end (its F7), across its own
// waits. Re-entrant for one thread.
extern std::recursive_mutex outputLock[2];
// 1 while an opened output is one whose driver kept a long message's header after its
// deadline and a reset: from then until StopRoutes closes it, nothing more is sent to
// it (forwarded messages, the metronome, All Sound Off, long messages). A driver that
// does not give back a buffer it was told to return is wedged: anything more it is
// handed may be held or half sent as well, and each long send would again cost its
// caller the whole deadline. A later StartRoutes opens the device afresh.
extern Relaxed<int32_t> outputUnusable[2];
// 1 once a device answered that it is gone (kNoDriver, kError): per route for inputs,
// per opened output (OutputIndex) for outputs. Nothing more is sent to a lost output;
// HealRoutes closes lost devices. Cleared when the device closes.
extern Relaxed<int32_t> inputLost[2];
extern Relaxed<int32_t> outputLost[2];

// ---- operations -----------------------------------------------------------------
// The settings the engine reads: the active assignment (StartRoutes) and Port and
// the metronome fields (worker). Until bound, built-in defaults with no route.
void BindEngineSettings(const KavoSettings* settings);
// The settings bound by BindEngineSettings (the built-in defaults until then, or
// after a null). The program asks it to know whether the engine still reads its own.
const KavoSettings& EngineSettings();
// Called as the last step of StartRoutes and StopRoutes (the tray icon's update).
void SetStatusListener(void (*listener)());
// Which devices of the active assignment the program found missing: a device is
// named, but no present device of that name is free for it (none is listed, or the
// other route holds the only one). Its route then waits for it rather than open
// whatever device now sits at its old index.
struct MissingDevices {
    bool in[2] = {false, false};
    bool out[2] = {false, false};
    // Open route r's device afresh although it is open: the other route needs a
    // device of the same name, one is free, and which of them this one is cannot be
    // told (its index went stale as devices came and went).
    bool reopenIn[2] = {false, false};
    bool reopenOut[2] = {false, false};
    // Other free devices of the name, tried in turn when the one chosen refuses as
    // held (kAllocated: by the other route, or by another program).
    std::vector<int32_t> inOthers[2];
    std::vector<int32_t> outOthers[2];
};
// What the routes hold as the program looks again (HealRoutes): per route, whether its
// input (output) stays open, and the index that device answers to (midi::InGetID),
// or -1 where it cannot tell. Nothing at a start.
struct HeldDevices {
    bool in[2] = {false, false};
    bool out[2] = {false, false};
    int32_t inAt[2] = {-1, -1};
    int32_t outAt[2] = {-1, -1};
};
// Called on the user-interface thread before the active assignment is read, as the
// first step of StartRoutes and of every HealRoutes (the program lets the routes
// follow their devices' names there and says which are missing). Null: nothing.
void SetBeforeOpenHook(MissingDevices (*hook)(const HeldDevices&));

void StartRoutes();
void StopRoutes();

// ---- routes that follow their devices -------------------------------------------
// While the routes run, a device may go (unplugged, asleep) or be held by another
// program. The engine notices what it can on its own (a send or a buffer the device
// answers with kNoDriver or kError) and tells the program through the loss listener;
// the program also hears the system's device notices. Either way the program lets the
// device lists settle and calls HealRoutes, again with growing pauses while a route
// still waits. Nothing here shows a box.
enum class RouteWait : int32_t { None = 0, Input = 1, Output = 2 };
// Which device route r waits for: the one that could not be opened, or was lost, the
// last time the route was started or healed. None while it is open, after a stop,
// and for a route that only closed because the other route failed a start.
RouteWait RouteWaitsFor(int r);
// Route r forwards: its input and output are both open.
bool RouteOpen(int r);
// Called when the engine finds a device gone or a route waiting, from the worker
// thread too: it must only post (no lock, no wait).
void SetDeviceLossListener(void (*listener)());
// The user-interface thread's automatic attempt. While the routes run (engineRunning),
// closes what is gone (lost, missing from the lists, an input that answers kNoDriver)
// or, with reopenAll (after a sleep, when inputs go silent without an error),
// everything; then opens every configured route that is not open, by the assignment
// the before-open hook leaves. Held notes of a closed input get their note-offs at
// once. The other route keeps forwarding throughout: its input keeps filling its
// ring while the worker is briefly held. True when nothing is left waiting.
bool HealRoutes(bool reopenAll);
// Wakes the worker to look at its settings again. An idle worker sleeps with no
// time-out, so whoever switches the metronome on calls this after setting metronomeOn;
// every other setting takes effect from the next message or beat.
void WakeWorker();
// Where a forwarded short message is on its way, for a benchmark that stamps each
// stage to see where the slowest messages spend their time: stored in its route's ring
// (on the callback's thread), the worker about to wait and back from its wait (route
// -1, no message), and the message about to be sent. Null in the program, where each
// stage then costs one relaxed load; set only while no route runs.
enum class EngineStage { Ring, Sleep, Awake, Send };
void SetStageHook(void (*hook)(EngineStage stage, int route, uint32_t message));
void MidiInCallback1(midi::InHandle h, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);
void MidiInCallback2(midi::InHandle h, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);
void RouteWorker(void* parameter);

void BuildVelocityTable(int32_t vSens, int32_t vOffset);
// The transforms of one message on the transformed route, as the worker applies them.
uint32_t TransformMessage(uint32_t message);
// Whether any transform is on: the worker transforms transformRoute's messages then.
bool AnyTransformOn();
void MetronomeStep();
// How long the worker may wait for input before it looks again: the time-out (which
// may be platform::kForever), or less while the metronome plays and its next tick
// falls due sooner. A tick falls due once more than one interval has passed since the
// last one, at lastTick + interval + 1 ms (wrap-safe); 0 when it is due now.
uint32_t WorkerWait(uint32_t now, uint32_t lastTick, bool metronome, int32_t mTempo, uint32_t timeout);

// Devices whose close was refused (a driver still holding buffers of ours) and that
// the engine therefore still holds open, with the buffers they hold: each is tried
// again at the next StartRoutes (before anything is opened) and StopRoutes.
int HeldDeviceCount();
// The bytes of buffers left with devices that kept them (parked long messages, the
// SysEx buffers of held inputs): never reused, freed once their device is closed.
size_t BytesLeftWithDevices();
// The bytes of buffers left with devices the system kept answering as gone while they
// refused to close: given up, never freed, for the life of the process.
size_t BytesGivenUp();

// ---- output primitives, for the user-interface thread only -----------------------
// They read the device handles, which only that thread changes (a start, a stop, a
// heal), and wait for outputs the worker holds: called from the worker they would wait
// for the worker itself, and from another thread they could find a handle closing.
// The checked entry for a caller that holds only a route number (the panel's resets):
// sends through SendLongOnRoute when route (0 or 1) has its output open; any other
// route value, or a closed output, sends nothing.
void SendLongMessage(int32_t route, const uint8_t* bytes, uint32_t count);
// The send itself, for a route the caller has already picked (and SendLongMessage):
// copies the bytes, sends them as one long message (in parts above kMaxLongMessage)
// under the output's lock and waits until the device is done with them (or its
// deadlines pass: a stuck device is reset, then left with them). A closed,
// lost or wedged output sends nothing.
void SendLongOnRoute(int route, const uint8_t* bytes, uint32_t count);
// All Sound Off (controller 120, B0+c 78 00) on all 16 channels of every open output,
// route 1 first; an output both routes hold gets it once.
void AllSoundOff();
// Note 57 on all 16 channels of every open output, a box until the user is done, then
// AllSoundOff (no note-off).
void PlayTuningTone();

// waitTimeout as the worker uses it: 0 would make the worker spin a core while a long
// message is in flight, and the system's infinite value (or anything long) would leave
// a silent driver's finished message unnoticed for that long, so it is held to
// 1..100 ms.
constexpr uint32_t kMinWaitTimeout = 1;
constexpr uint32_t kMaxWaitTimeout = 100;
uint32_t EffectiveWaitTimeout();

// Failure texts shown by StartRoutes.
extern const char* const kMsgCannotOpenIn1;
extern const char* const kMsgCannotOpenOut1;
extern const char* const kMsgCannotOpenIn2;
extern const char* const kMsgCannotOpenOut2;
extern const char* const kMsgCannotStart;
extern const char* const kMsgTuning;

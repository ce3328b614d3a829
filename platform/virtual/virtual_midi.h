#pragma once
// In-process MIDI devices that keep winmm's contract, so that the engine, the port
// setup dialog and the whole program can run where there is no MIDI hardware (the
// host build, Wine) and what is tested on them holds on real devices:
//
// - each open input has a delivery thread of its own, on which MIM_DATA and the
//   MIM_LONGDATA of filled buffers reach the application's callback, in the order
//   the data was fed;
// - queued input headers are filled in the order they were added and handed back
//   with the done flag and dwBytesRecorded; a reset hands every queued header back
//   with zero bytes;
// - a long output send completes (done flag) before its header may be unprepared,
//   at once or, when asked, later from another thread as some drivers do;
// - a device can refuse to open, or refuse a second open;
// - a device can be wedged, keeping buffers it is told to give back (knobs below); it
//   writes a header it finally hands back, as a driver does, so memory that was reused
//   or freed meanwhile shows (in the record, or to a sanitizer);
// - everything that reaches an output is recorded in order with a time stamp;
// - each device follows a driver model (DriverModel below): the idealised contract
//   above, or the classic Windows driver stack with its single-client outputs, long
//   sends at cable speed or inside the call, the empty buffer an input hands back
//   while running, and the header flags it insists on;
// - devices go and come while the program runs (RemoveInput, AddInput, Suspend and
//   Resume below), as USB devices that are unplugged and plugged back, and computers
//   that sleep, do on Windows.
//
// Threads. The Backend calls may come from any thread, as with winmm. The knobs,
// the feeding calls (SendShort, SendSysEx, HandBackEmptyBuffer) and the queries may be called from any
// thread at any time, including while the engine runs.
//
// The stop guarantee. When InStop, InReset or a successful InClose returns, no
// callback for that handle is running and none will run until InStart. The engine
// relies on it to close its wake event right after stopping the inputs. Outputs
// have the same guarantee for OutClose: once it returns kNoError, no callback for
// that handle is running and none will run. A wedged output's close is refused
// while sends are pending, so the kMomDone it owes still reaches a live handle.
//
// Output callbacks (OutOpen with a callback, as midiOutOpen with CALLBACK_FUNCTION):
// kMomOpen from the calling thread before OutOpen returns; kMomDone, the header in
// param1, once a long send's done flag has been stored, for every send that
// completes: from inside OutLongMsg when the send completes at once, from the
// handle's completion thread when it completes later, from inside OutReset for the
// sends the reset hands back; kMomClose from the calling thread before OutClose
// returns. So the kMomDone calls of one handle may come from several threads, two
// at a time when sends or resets are made on several threads or the delay or hold
// changes while sends are pending; each comes after its own done flag, and those
// of one thread in completion order. A callback
// may send (OutShortMsg, OutLongMsg) on any handle and reset any handle; OutClose of
// its own handle from inside one of its callbacks is refused (kError), since close
// waits for that very callback to return.
//
// Callbacks are never called while this backend holds a lock. The hazard this
// avoids: if a lock were held around the callback, the user-interface thread
// calling InStop would wait for that lock while the callback (a system thread, in
// winmm) might be waiting for something the user-interface thread holds; and a
// feeding thread would stall behind a slow callback. Instead the delivery thread
// marks itself busy under the device's mutex, releases it, calls back, and clears
// the mark; InStop/InReset/InClose clear the started state and then wait for the
// mark to clear. An output counts the callbacks running on any thread, under its
// mutex and before the done flag they report is stored, and OutClose waits for the
// count to reach zero. A callback that calls InStop or InReset on its own handle
// does not wait for itself; InClose from inside a callback of its handle is refused
// (kError), since the delivery thread cannot end itself while it runs the caller's
// code. The one wait that remains is inherent to the guarantee: InStop (or OutClose)
// waits for a callback that is running, so a callback must not block on the thread
// that stops its device, which winmm forbids as well.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/midi.h"

namespace midi {

// How a virtual device behaves where real drivers differ.
//
// Ideal: the idealised contract: outputs take several clients, long sends complete
// inside OutLongMsg (unless SetOutLongDelay says otherwise), an input hands a buffer
// back only with data or on reset, any header flags are accepted by OutPrepareHeader.
//
// Classic: Windows' own classic MIDI drivers:
// - an output takes one client: a second OutOpen fails with kAllocated, also from
//   the process that holds it;
// - long sends complete at MIDI cable speed, 320 microseconds a byte, in order, each
//   starting when the one before it has ended, on the handle's completion thread;
// - a system-exclusive message that exactly fills its last buffer is followed by one
//   more queued buffer handed back done with zero bytes (kMimLongData) while running;
//   an application that queues every returned buffer again without looking at
//   dwBytesRecorded sees this;
// - OutPrepareHeader refuses (kInvalParam) a header whose dwFlags are not zero, as
//   the documentation requires them to be zero before preparing.
//
// ClassicSync: Classic, but long sends complete inside OutLongMsg, as the newer
// system driver and Wine do.
//
// Inputs are exclusive in every model.
enum class DriverModel { Ideal, Classic, ClassicSync };

class VirtualMidi : public Backend {
public:
    struct Config {
        std::vector<std::string> inputs;
        std::vector<std::string> outputs;
        // The model of every device that names none of its own.
        DriverModel model = DriverModel::Ideal;
        // A device's own model, by the device's index in inputs or outputs; an entry
        // without a value, or one past the end, means `model`.
        std::vector<std::optional<DriverModel>> inModels = {};
        std::vector<std::optional<DriverModel>> outModels = {};

        DriverModel InModel(size_t index) const;
        DriverModel OutModel(size_t index) const;
    };

    // Reads the compact form the Windows program takes from its environment:
    //
    //     in=Keyboard A,Keyboard B;out=Synth A@classic,Synth B;model=classic-sync
    //
    // Sections are separated by ';' and are "in=" or "out=" followed by device names
    // separated by ',', or "model=" followed by the model of every device: "ideal",
    // "classic" or "classic-sync" (DriverModel; Ideal without the section). Each
    // section may appear at most once, in any order; a missing section or an empty
    // list ("in=;out=Synth") means no devices of that kind, and an empty text means
    // none at all. A name may end with '@' and a model word, the model of that
    // device alone; the suffix is not part of the name. Spaces and tabs around keys,
    // names and model words are dropped; spaces inside a name are kept. A name may not
    // be empty and may not contain ',', ';', '=' or '@'. Empty sections (a trailing
    // ';') are ignored. Names longer than a device name field are accepted and
    // shortened in the caps. Returns false on malformed text (unknown key, repeated
    // section, missing '=', empty name, unknown model word, null text or out) and
    // then leaves *out as it was.
    static bool ParseConfig(const char* text, Config* out);

    explicit VirtualMidi(Config config);
    // Ends every delivery and completion thread. Handles still open are closed by
    // force: pending long sends come back done, queued input headers come back done
    // with zero bytes (without callbacks).
    ~VirtualMidi() override;
    VirtualMidi(const VirtualMidi&) = delete;
    VirtualMidi& operator=(const VirtualMidi&) = delete;

    // ---- winmm-shaped device calls ------------------------------------------------
    uint32_t InGetNumDevs() override;
    Result InGetDevCaps(uint32_t id, char (&name)[kNameSize]) override;
    // Requires kCallbackFunction in flags (else kInvalFlag) and a callback (else
    // kInvalParam). Sends kMimOpen from the calling thread before returning.
    Result InOpen(InHandle* handle, uint32_t id, InCallback cb, uintptr_t instance, uint32_t flags) override;
    // The second parameter of MIM_DATA and MIM_LONGDATA is the time in milliseconds
    // since the InStart that began the current run, as winmm gives it.
    Result InStart(InHandle h) override;
    Result InStop(InHandle h) override;
    // Stops input and hands every queued header back, each with a kMimLongData
    // callback from the calling thread, in queue order, before returning (a wedged
    // input, SetInHoldsBuffers, keeps them): with zero bytes, but the one that a
    // system-exclusive message in parts (SendSysExPart) is filling with what it holds.
    Result InReset(InHandle h) override;
    // kStillPlaying while headers are queued (the device stays open and running);
    // otherwise ends the delivery thread, sends kMimClose from the calling thread
    // and invalidates the handle.
    Result InClose(InHandle h) override;
    Result InPrepareHeader(InHandle h, Header* hdr, uint32_t size) override;
    Result InUnprepareHeader(InHandle h, Header* hdr, uint32_t size) override;
    Result InAddBuffer(InHandle h, Header* hdr, uint32_t size) override;
    // The index the handle's device is listed at now, as devices come and go;
    // kNoDriver once it was removed (also after it came back: the handle stays gone).
    // With SetIdsFromOpen, the index it was opened at, gone or not.
    Result InGetID(InHandle h, uint32_t* id) override;

    uint32_t OutGetNumDevs() override;
    Result OutGetDevCaps(uint32_t id, char (&name)[kNameSize]) override;
    // A null cb opens without callbacks. With one, kMomOpen comes from the calling
    // thread before returning.
    Result OutOpen(OutHandle* handle, uint32_t id, OutCallback cb, uintptr_t instance) override;
    // kStillPlaying while long sends are pending (the device stays open); kError from
    // inside a callback of this handle. Otherwise waits for callbacks of this handle
    // running on other threads, ends the completion thread, sends kMomClose from the
    // calling thread and invalidates the handle.
    Result OutClose(OutHandle h) override;
    // Pending long sends come back done at once, each with kMomDone from the calling
    // thread before returning, and are not recorded (the device dropped them);
    // nothing else is recorded. A wedged output (SetOutHoldsLong) keeps them.
    Result OutReset(OutHandle h) override;
    Result OutShortMsg(OutHandle h, uint32_t msg) override;
    // On a classic model, kInvalParam for an unprepared header whose dwFlags are not
    // zero.
    Result OutPrepareHeader(OutHandle h, Header* hdr, uint32_t size) override;
    // The bytes are read and recorded when the send completes: at once, or after the
    // device's long-send delay (or at cable speed) on the handle's completion thread.
    // A caller that touches the bytes before the done flag is set therefore shows in
    // the record, as it would on a real device that reads the buffer while it
    // transmits.
    Result OutLongMsg(OutHandle h, Header* hdr, uint32_t size) override;
    Result OutUnprepareHeader(OutHandle h, Header* hdr, uint32_t size) override;
    Result OutGetID(OutHandle h, uint32_t* id) override;
    bool IdsFollowRenumbering() const override { return followsRenumbering_.load(std::memory_order_relaxed); }
    // Makes InGetID and OutGetID answer as winmm does: with the index the handle was
    // opened at, whatever came or went since (IdsFollowRenumbering false).
    void SetIdsFromOpen(bool fromOpen) { followsRenumbering_.store(!fromOpen, std::memory_order_relaxed); }

    // ---- knobs -------------------------------------------------------------------
    // Out-of-range ids are ignored. Each takes effect from the next call that
    // reads it.
    //
    // Driver models (DriverModel): a model sets the device's exclusive flag, its
    // long-send timing, and the classic behaviours that have no knob of their own.
    // The finer knobs below, called after it, still change what they change.
    // SetModel sets every device, inputs and outputs.
    void SetModel(DriverModel model);
    void SetInModel(uint32_t id, DriverModel model);
    void SetOutModel(uint32_t id, DriverModel model);
    //
    // Open refusal: InOpen/OutOpen return `result` instead of opening while it is not
    // kNoError. Use kAllocated for a device in use by another program, kError for a
    // broken driver; both are what winmm gives in those cases.
    void SetInOpenResult(uint32_t id, Result result);
    void SetOutOpenResult(uint32_t id, Result result);
    // Close refusal: InClose/OutClose return `result` and leave the handle open while
    // it is not kNoError, as Windows 11's MIDI service is reported to answer closes of
    // removed devices (kNoDriver, kStillPlaying).
    void SetInCloseResult(uint32_t id, Result result);
    void SetOutCloseResult(uint32_t id, Result result);
    // The next `count` unprepares of a header whose done flag is set answer
    // kStillPlaying, as a driver that stores the flag a moment before it lets go.
    void SetOutUnprepareStillPlaying(uint32_t id, int count);
    // Exclusive devices refuse a second open with kAllocated while open. Inputs are
    // exclusive by default (winmm input drivers normally are: two routes naming the
    // same input must see the second open fail); outputs are not (the system's own
    // synthesizer and many drivers take several clients, and both routes may name one
    // output).
    void SetInExclusive(uint32_t id, bool exclusive);
    void SetOutExclusive(uint32_t id, bool exclusive);
    // Long sends on this output complete this long after OutLongMsg, on another
    // thread, in the order sent. Zero (the default) completes them inside OutLongMsg.
    // Replaces the cable-speed timing of a classic model.
    void SetOutLongDelay(uint32_t id, std::chrono::microseconds delay);
    // A wedged output: while set, its long sends stay with the device. They neither
    // complete (after their delay or at once) nor come back on OutReset, so OutClose
    // refuses (kStillPlaying) while one is pending, as with a driver that hangs on a
    // buffer. Clearing it lets them complete on the completion thread, each once its
    // delay is over: the bytes are read and recorded and the header written done then.
    void SetOutHoldsLong(uint32_t id, bool hold);
    // A wedged input: while set, InReset stops input but hands no queued header back,
    // so InClose keeps refusing (kStillPlaying), as with a driver that does not return
    // buffers on reset. After clearing it the next InReset hands them back as usual
    // (each header written with zero bytes and the done flag, with kMimLongData).
    void SetInHoldsBuffers(uint32_t id, bool hold);
    // InGetDevCaps/OutGetDevCaps return `result` (and leave the name untouched)
    // while it is not kNoError.
    void SetInCapsResult(uint32_t id, Result result);
    void SetOutCapsResult(uint32_t id, Result result);

    // ---- devices that go and come -------------------------------------------------
    // Any thread, at any time. Ids are indexes into the current device lists, which
    // these calls change as Windows' enumeration does.
    //
    // Removal (a device unplugged): the device leaves its list; the devices after it
    // move down one index, so an open of its old index reaches the next device, and
    // its name is no longer listed. Handles open on it stay valid handles of a gone
    // device; they never come back to life, also when the device is added again:
    // - output: OutShortMsg, OutLongMsg, OutReset and OutPrepareHeader answer
    //   kNoDriver. Long sends pending at removal come back done, without being
    //   recorded, a moment later from the handle's completion thread (kMomDone), held
    //   or not. OutClose answers kStillPlaying until they are back, then closes.
    // - input: nothing more is delivered; data fed before removal that was not yet
    //   delivered is dropped and counted. The queued buffers come back a moment later
    //   from the delivery thread, each with kMimLongData: the one being filled (by
    //   SendSysExPart, or while removal happens) with what it holds, the others with
    //   zero bytes, held (SetInHoldsBuffers) or not. InAddBuffer, InPrepareHeader,
    //   InStart, InStop and InReset answer kNoDriver; InStop and InReset still keep
    //   the stop guarantee, waiting until the buffers are back (except from inside a
    //   callback of the handle). InClose answers kStillPlaying until they are back.
    // - unpreparing and closing work as before, so the application can clean up.
    // False when id is not listed.
    bool RemoveInput(uint32_t id);
    bool RemoveOutput(uint32_t id);
    // Adding (a device plugged in): the device appears at index atIndex (default: the
    // end); the devices from there on move up one. A name that a removed device had
    // brings that device back (the one removed last, with its knobs, drop counts and
    // output record), possibly at another index than before; any other name is a new
    // device of the configuration's model. Either way it opens afresh. False for an
    // empty name or an index past the end.
    bool AddInput(const std::string& name, std::optional<uint32_t> atIndex = std::nullopt);
    bool AddOutput(const std::string& name, std::optional<uint32_t> atIndex = std::nullopt);
    // Power sleep. While suspended, data fed to any input is dropped and counted. On
    // resume every input handle open then goes silent for good, without any error, as
    // inputs often do after a sleep on Windows: fed data is dropped and counted, no
    // more kMimData or filled kMimLongData, and every call answers as before (InReset
    // still hands queued buffers back empty, so the handle can be closed). Closing
    // and opening the device again makes it deliver. Outputs keep working. Suspend
    // is false when already suspended, Resume when not suspended.
    bool Suspend();
    bool Resume();
    // Handles open now, of listed and of removed devices (a leaked handle of a gone
    // device shows here and nowhere else).
    size_t InHandleCount() const;
    size_t OutHandleCount() const;

    // ---- feeding inputs ----------------------------------------------------------
    // Any thread. Reaches every open handle of input inId that is started; returns
    // false (and counts a drop) when it reaches none, or when inId is out of range
    // (not counted). Data fed before InStop/InReset/InClose that was not yet
    // delivered is dropped and counted then.
    bool SendShort(uint32_t inId, uint32_t packedMsg);
    // One system-exclusive message, spread over as many queued buffers as it needs.
    // Bytes that find no queued buffer are dropped and counted.
    bool SendSysEx(uint32_t inId, const uint8_t* bytes, size_t n);
    // Bytes of a system-exclusive message that goes on: they fill queued buffers like
    // SendSysEx, each handed back once full, but the last buffer they reach stays with
    // the device partly filled, as a driver keeps the buffer it is filling until the
    // message ends. The next SendSysExPart or SendSysEx goes on filling it; SendSysEx
    // ends the message and hands it back. InReset and removal hand it back with what
    // it holds. A part that loses bytes counts as one system-exclusive drop.
    bool SendSysExPart(uint32_t inId, const uint8_t* bytes, size_t n);
    // Any model. The next queued buffer of every started handle of input inId is
    // handed back done with zero bytes (kMimLongData), after the data fed before
    // this call and through the same delivery thread, as a driver does that returns
    // a buffer it has nothing for. A handle with no buffer queued by then hands none
    // back. Returns false when it reaches no started handle.
    bool HandBackEmptyBuffer(uint32_t inId);

    struct InDrops {
        uint64_t shortMessages = 0;  // short messages fed that reached no callback
        uint64_t sysExMessages = 0;  // system-exclusive messages that lost bytes
        uint64_t sysExBytes = 0;     // bytes lost (no buffer queued, or stopped)
    };
    InDrops InDropCounts(uint32_t inId) const;

    // ---- output record -----------------------------------------------------------
    struct OutEvent {
        int64_t timeNs = 0;       // steady_clock, when the message reached the device
        bool isLong = false;
        uint32_t shortMsg = 0;    // the packed message (short events)
        std::vector<uint8_t> bytes;  // the data (long events)
    };
    std::vector<OutEvent> OutRecord(uint32_t outId) const;
    size_t OutRecordSize(uint32_t outId) const;
    void ClearOutRecord(uint32_t outId);
    // Makes room so that recording this many events and long-data bytes allocates
    // nothing (a benchmark calls it before it starts timing).
    void ReserveOutRecord(uint32_t outId, size_t events, size_t longBytes);
    // True when the record holds at least count events, false after the timeout.
    bool WaitForOutEvents(uint32_t outId, size_t count, std::chrono::milliseconds timeout) const;

    // ---- MIM_DATA call times -----------------------------------------------------
    // Logs the steady_clock time (ns) at which each MIM_DATA callback of input inId is
    // called, for at most `capacity` callbacks (memory reserved here); capacity 0
    // turns logging off. Enabling clears the log. When off, the delivery path pays one
    // relaxed load.
    void EnableCallbackLog(uint32_t inId, size_t capacity);
    std::vector<int64_t> CallbackLog(uint32_t inId) const;

    // ---- queries -----------------------------------------------------------------
    bool IsInOpen(uint32_t id) const;
    bool IsOutOpen(uint32_t id) const;
    int InOpenCount(uint32_t id) const;     // handles open now
    int OutOpenCount(uint32_t id) const;
    uint64_t InOpensTotal(uint32_t id) const;  // successful opens since construction
    uint64_t OutOpensTotal(uint32_t id) const;
    // Headers prepared on the device and not yet unprepared (kept across close, so
    // that a header left prepared by a closed handle still shows).
    size_t InPreparedCount(uint32_t id) const;
    size_t OutPreparedCount(uint32_t id) const;
    size_t InQueuedCount(uint32_t id) const;   // headers waiting in input queues
    size_t InUndeliveredCount(uint32_t id) const;  // data fed and not yet delivered
    size_t OutPendingCount(uint32_t id) const;  // long sends not yet complete
    // The headers themselves, in queue order (the addresses only: a test can check
    // whose memory the device holds without touching it).
    std::vector<const Header*> InQueuedHeaders(uint32_t id) const;
    std::vector<const Header*> OutPendingHeaders(uint32_t id) const;

    // The clock of every time stamp above.
    static int64_t NowNs();

private:
    struct InPort;
    struct OutPort;
    struct InOpening;
    struct OutOpening;

    std::shared_ptr<InOpening> FindIn(InHandle h) const;
    std::shared_ptr<OutOpening> FindOut(OutHandle h) const;
    InPort* InAt(uint32_t id) const;
    OutPort* OutAt(uint32_t id) const;
    bool FeedIn(uint32_t inId, uint8_t kind, uint32_t msg, const uint8_t* bytes, size_t n);
    void DeliveryLoop(InOpening* o);
    void CompletionLoop(OutOpening* o);
    void CompleteLong(OutPort& port, Header* hdr);
    void CallOutDone(OutOpening& o, std::unique_lock<std::mutex>& lk, Header* const* done, size_t n);
    void ApplyInModel(InPort& port, DriverModel model);
    void ApplyOutModel(OutPort& port, DriverModel model);
    void Record(OutPort& port, bool isLong, uint32_t msg, const uint8_t* bytes, size_t n, Header* done);
    Result StopOpening(InOpening& o, bool reset);

    // Every device there has been, listed or removed. A port is never freed before the
    // backend: handles of a removed device keep pointing at it.
    std::vector<std::unique_ptr<InPort>> inPorts_;
    std::vector<std::unique_ptr<OutPort>> outPorts_;
    // The device lists as enumerated now, and the removed devices in the order they
    // left (the last one of a name is the one that comes back). Guarded by listMu_,
    // which is taken last: nothing else is locked while it is held.
    mutable std::mutex listMu_;
    std::vector<InPort*> inList_;
    std::vector<OutPort*> outList_;
    std::vector<InPort*> inRemoved_;
    std::vector<OutPort*> outRemoved_;
    DriverModel addedModel_;  // the model of a device added under a new name
    std::atomic<bool> followsRenumbering_{true};

    // Guards the handle tables and the open counts. Never held while a callback runs
    // or while a thread is joined; taken before any port or opening mutex.
    mutable std::mutex mu_;
    bool suspended_ = false;  // guarded by mu_
    uintptr_t nextToken_ = 0x10;
    std::unordered_map<uintptr_t, std::shared_ptr<InOpening>> inOpen_;
    // Output handles also have a lock of their own, taken inside mu_ where the table
    // changes and alone where a handle is only looked up: the engine's worker sends
    // every forwarded message through such a look-up, and must not queue behind a
    // feeding thread that holds mu_ (on two cores a preempted holder costs the
    // worker a whole time slice).
    mutable std::mutex outTableMu_;
    std::unordered_map<uintptr_t, std::shared_ptr<OutOpening>> outOpen_;
};

}  // namespace midi

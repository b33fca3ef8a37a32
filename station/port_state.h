// Where one port of a station stands, and what moves it: a pure table, state x event -> (next
// state, actions), in the manner of a service supervisor's. It does no I/O and reads no clock:
// the station turns what happened (a worker's line, its end, a timer, a label, a stop) into a
// PortEvent, asks portAnswer, moves the port and carries out the actions in the order of the
// PortAction bits. Every pair has an answer; one that does nothing is "ignored", and the
// station's --trace says so. What a port must remember is in its state, not in flags beside
// it: whether a handset a unit ran on may still be on the cable (Flashing, Removing,
// Replacing, RestartingWithHandset) and whether a label went with it (Labelled).
// Plain values and pure functions: any thread.
#ifndef TARVOLO_STATION_PORT_STATE_H
#define TARVOLO_STATION_PORT_STATE_H

#include <chrono>
#include <cstdint>
#include <string>

enum class PortState {
    Starting,         // a worker was started and has not yet said where its port is
    Replacing,        // the same, for a worker that replaces one lost with a handset on the cable
    AwaitingAdapter,  // the port is absent (or the selector names several)
    Unusable,         // present but it cannot be opened; the worker tries again
    Present,          // the port is there; its worker gets ready
    Ready,            // the worker waits for an arm
    Armed,            // an arm was sent: the worker waits for a handset
    AwaitingLabel,    // scanning labels: a handset answered and waits for its label
    Labelled,         // its label came and "go" was sent: its unit is about to start
    Flashing,         // a unit is in progress
    Removing,         // a unit ended: its handset may be on the cable until the worker is ready
    Restarting,       // the worker is gone; a fresh one starts after the pause
    RestartingWithHandset,  // the same, and the fresh one first waits for the handset to go
    Stopped,          // the worker is gone and none follows
};
constexpr int kPortStates = static_cast<int>(PortState::Stopped) + 1;

enum class PortEvent {
    Heard,         // the worker's hello, beat or bye: it lives, nothing to do
    PortPresent,   // its port came (device and summary with it)
    PortAbsent,    // its port is awaited
    PortUnusable,  // its port cannot be opened
    Ready,         // the worker waits for an arm
    ArmTaken,      // it took the arm and waits for a handset
    HandsetOn,     // scanning labels: a handset answered, and waits for its label
    HandsetOff,    // scanning labels: that handset was taken off before its unit began
    UnitStarted,
    Progress,
    UnitEnded,     // the worker reports the unit's row
    Unsent,        // the image's end that no whole block carries
    RemoveAsked,   // the worker waits for the handset to be taken off
    WorkerError,   // a text for the operator
    ReleaseFault,  // the worker cannot read the release copy: no restart mends that
    ArmAllowed,    // offered every turn while the units asked for and the central link allow one
    LabelGiven,    // the label queue gave this port a label
    WorkerSilent,  // the worker reported nothing for the limit
    WorkerLost,    // the worker ended; a fresh one is to follow
    WorkerDone,    // the worker ended while the station stops
    StartFailed,   // the worker could not be started
    StartDue,      // the pause before a (re)start is over
    Stop,          // the station begins to stop
    StopOverdue,   // the workers had their grace to end
};
constexpr int kPortEvents = static_cast<int>(PortEvent::StopOverdue) + 1;

// What the station does on an answer, in this order.
enum PortAction : uint32_t {
    NotePort = 1u << 0,          // keep the device and its summary
    ShowPort = 1u << 1,          // show where the port is
    ShowState = 1u << 2,         // show the port's new state
    ShowWorkerEvent = 1u << 3,   // show what the worker said (the unsent tail)
    ShowError = 1u << 4,
    LeaveLabelQueue = 1u << 5,   // the port no longer waits for a label
    GiveLabelBack = 1u << 6,     // the port's label waits for another handset
    RefuseLabel = 1u << 7,       // the label offered goes back: this port cannot take it
    TakeLabel = 1u << 8,         // the label offered is the port's
    SendArm = 1u << 9,
    SendGo = 1u << 10,
    SendStop = 1u << 11,
    SeekLabel = 1u << 12,        // ask the label queue; say the handset waits when none is there
    ShowHandsetGone = 1u << 13,
    BeginUnit = 1u << 14,        // a unit number, its start, shown
    TrackProgress = 1u << 15,
    RecordUnit = 1u << 16,       // the worker's row of the unit goes to the record
    EndHungWorker = 1u << 17,    // say so, kill it and wait for it
    ForgetWorker = 1u << 18,     // wait for the ended worker; keep its exit code
    RecordLostUnit = 1u << 19,   // the unit in progress ended with its worker (or interrupted)
    RecordHungUnit = 1u << 20,   // the unit in progress ended with a worker ended for its silence
    CountEarlyEnd = 1u << 21,    // a worker that ended by itself before it was ready
    CountStartFailure = 1u << 22,
    ResetStartFailures = 1u << 23,
    ScheduleRestart = 1u << 24,  // say why, and when the fresh worker starts (the back-off)
    StartWorker = 1u << 25,
    StartWorkerForRemoval = 1u << 26,  // with the handset on the cable to be taken off first
    KillWorker = 1u << 27,       // its end comes as an event
    StopForRelease = 1u << 28,
    CheckFaults = 1u << 29,      // a fault that no restart mends stops the station
};
constexpr uint32_t kLastPortAction = CheckFaults;

struct PortAnswer {
    PortState next;
    uint32_t actions;  // PortAction bits
};

// The table. Pure.
PortAnswer portAnswer(PortState state, PortEvent event);
// The answer moves nothing and does nothing: the event means nothing in that state.
bool ignored(PortState state, PortAnswer answer);
// Ignored answers the station does not trace: offers made every turn and the worker's beats.
bool quietWhenIgnored(PortEvent event);

// The one table of a port state's words. For people: the row's state column, the page's
// headline. For a program: the page's tile kind (its colour), fewer than the states.
const char* portStateText(PortState state);
const char* portStateWord(PortState state);
// For a trace: the names as written above.
const char* portStateName(PortState state);
const char* portEventName(PortEvent event);
const char* portActionName(uint32_t action);
std::string portActionsText(uint32_t actions);
// States in which the port holds one of the --units: an arm given out or a unit under way.
bool holdsUnit(PortState state);

// The pause before a fresh worker: it doubles with each worker lost without a completed unit
// in between, from one second up to thirty. Time comes in; it reads no clock.
class RestartBackoff {
public:
    using Clock = std::chrono::steady_clock;
    // When the next worker starts, given now; the pause after it doubles.
    Clock::time_point next(Clock::time_point now);
    // A unit completed: this port works, back to the short pause.
    void reset() { pause_ = kFirst; }

    static constexpr std::chrono::seconds kFirst{1};
    static constexpr std::chrono::seconds kLongest{30};

private:
    std::chrono::seconds pause_ = kFirst;
};

#endif

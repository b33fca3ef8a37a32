// The port's table (see port_state.h). Read it as rules: the first whose states hold the port's
// state and whose event is the event answers; no rule, the event is ignored in that state.
#include "station/port_state.h"

#include <algorithm>
#include <initializer_list>

namespace {

using S = PortState;
using E = PortEvent;

constexpr uint32_t set(std::initializer_list<S> states)
{
    uint32_t bits = 0;
    for (S s : states)
        bits |= 1u << static_cast<int>(s);
    return bits;
}

// A worker runs in these; its messages mean nothing in the others (the last lines of one that
// was ended, still queued).
constexpr uint32_t kWorker = set({S::Starting, S::Replacing, S::AwaitingAdapter, S::Unusable, S::Present,
                                  S::Ready, S::Armed, S::AwaitingLabel, S::Labelled, S::Flashing, S::Removing});
// Not yet ready: a worker that ends here by itself failed at its start.
constexpr uint32_t kEarly = set({S::Starting, S::Replacing, S::AwaitingAdapter, S::Unusable, S::Present});
// A handset a unit ran on may be on the cable: a fresh worker waits for it to go.
constexpr uint32_t kHandset = set({S::Flashing, S::Removing, S::Replacing});
constexpr uint32_t kMayBeReady = set({S::Starting, S::Replacing, S::AwaitingAdapter, S::Unusable, S::Present,
                                      S::Removing, S::Ready, S::Armed});
constexpr PortState kSame = static_cast<PortState>(-1);

struct Rule {
    uint32_t states;
    PortEvent event;
    PortState next;  // kSame: stays
    uint32_t actions;
};

constexpr uint32_t kRestart = ScheduleRestart | CheckFaults;
constexpr uint32_t kLost = ForgetWorker | kRestart;
constexpr uint32_t kHung = EndHungWorker | kRestart;

// Order matters: the first rule that fits answers.
constexpr Rule kRules[] = {
    // Where the port is. A unit in progress keeps its state: its end comes first.
    {set({S::Flashing}), E::PortPresent, kSame, NotePort | ShowPort},
    {set({S::Replacing, S::Removing}), E::PortPresent, S::Removing, NotePort | ShowPort},
    {set({S::AwaitingLabel}), E::PortPresent, S::Present, LeaveLabelQueue | NotePort | ShowPort},
    {set({S::Labelled}), E::PortPresent, S::Present, GiveLabelBack | NotePort | ShowPort},
    {kWorker, E::PortPresent, S::Present, NotePort | ShowPort},
    {set({S::Flashing}), E::PortAbsent, kSame, ShowPort},
    {set({S::Flashing}), E::PortUnusable, kSame, ShowPort},
    {set({S::AwaitingLabel}), E::PortAbsent, S::AwaitingAdapter, LeaveLabelQueue | ShowPort},
    {set({S::AwaitingLabel}), E::PortUnusable, S::Unusable, LeaveLabelQueue | ShowPort},
    {set({S::Labelled}), E::PortAbsent, S::AwaitingAdapter, GiveLabelBack | ShowPort},
    {set({S::Labelled}), E::PortUnusable, S::Unusable, GiveLabelBack | ShowPort},
    // The adapter went, and with it any handset on the cable.
    {kWorker, E::PortAbsent, S::AwaitingAdapter, ShowPort},
    {kWorker, E::PortUnusable, S::Unusable, ShowPort},

    // The arm/go handshake.
    {kMayBeReady, E::Ready, S::Ready, ResetStartFailures},
    {set({S::AwaitingLabel}), E::Ready, S::Ready, LeaveLabelQueue | ResetStartFailures},
    {set({S::Labelled}), E::Ready, S::Ready, GiveLabelBack | ResetStartFailures},
    {set({S::Flashing}), E::Ready, S::Ready, RecordLostUnit | ResetStartFailures},
    {set({S::Ready}), E::ArmAllowed, S::Armed, SendArm},
    {set({S::Armed}), E::ArmTaken, kSame, ShowState},
    {set({S::Armed}), E::HandsetOn, S::AwaitingLabel, SeekLabel},
    {set({S::AwaitingLabel}), E::LabelGiven, S::Labelled, LeaveLabelQueue | TakeLabel | SendGo},
    {~0u, E::LabelGiven, kSame, RefuseLabel},
    {set({S::AwaitingLabel}), E::HandsetOff, S::Armed, LeaveLabelQueue | ShowHandsetGone},
    {set({S::Labelled}), E::HandsetOff, S::Armed, GiveLabelBack | ShowHandsetGone},

    // A unit.
    {set({S::Armed, S::Labelled}), E::UnitStarted, S::Flashing, BeginUnit},
    {set({S::AwaitingLabel}), E::UnitStarted, S::Flashing, LeaveLabelQueue | BeginUnit},
    {set({S::Flashing}), E::Progress, kSame, TrackProgress},
    {set({S::Flashing, S::Labelled}), E::UnitEnded, S::Removing, RecordUnit},
    {set({S::Armed}), E::UnitEnded, S::Removing, RecordUnit},
    {set({S::AwaitingLabel}), E::UnitEnded, S::Removing, LeaveLabelQueue | RecordUnit},
    {kWorker, E::Unsent, kSame, ShowWorkerEvent},
    {set({S::Removing, S::Present}), E::RemoveAsked, S::Removing, ShowState},
    {kWorker, E::WorkerError, kSame, ShowError},
    {kWorker, E::ReleaseFault, kSame, ShowError | StopForRelease},

    // The worker's end. One ended for its silence is waited for at once, so its end (still
    // queued) falls in a restarting state and is ignored there.
    {set({S::Flashing}), E::WorkerLost, S::RestartingWithHandset, ForgetWorker | RecordLostUnit | kRestart},
    {set({S::Replacing}), E::WorkerLost, S::RestartingWithHandset, kLost | CountEarlyEnd},
    {set({S::Removing}), E::WorkerLost, S::RestartingWithHandset, kLost},
    {kEarly, E::WorkerLost, S::Restarting, kLost | CountEarlyEnd},
    {set({S::AwaitingLabel}), E::WorkerLost, S::Restarting, LeaveLabelQueue | kLost},
    {set({S::Labelled}), E::WorkerLost, S::Restarting, GiveLabelBack | kLost},
    {kWorker, E::WorkerLost, S::Restarting, kLost},
    {set({S::Flashing}), E::WorkerDone, S::Stopped, ForgetWorker | RecordLostUnit},
    {set({S::AwaitingLabel}), E::WorkerDone, S::Stopped, LeaveLabelQueue | ForgetWorker},
    {set({S::Labelled}), E::WorkerDone, S::Stopped, GiveLabelBack | ForgetWorker},
    {kWorker, E::WorkerDone, S::Stopped, ForgetWorker},
    {set({S::Flashing}), E::WorkerSilent, S::RestartingWithHandset, kHung | RecordHungUnit},
    {kHandset, E::WorkerSilent, S::RestartingWithHandset, kHung},
    {set({S::AwaitingLabel}), E::WorkerSilent, S::Restarting, LeaveLabelQueue | kHung},
    {set({S::Labelled}), E::WorkerSilent, S::Restarting, GiveLabelBack | kHung},
    {kWorker, E::WorkerSilent, S::Restarting, kHung},

    // The restart path and its back-off.
    {set({S::Starting}), E::StartFailed, S::Restarting, CountStartFailure | ShowError | kRestart},
    {set({S::Replacing}), E::StartFailed, S::RestartingWithHandset, CountStartFailure | ShowError | kRestart},
    {set({S::Restarting}), E::StartDue, S::Starting, StartWorker},
    {set({S::RestartingWithHandset}), E::StartDue, S::Replacing, StartWorkerForRemoval},

    // Stopping: workers are told, ports without one stop at once.
    {kWorker, E::Stop, kSame, SendStop},
    {set({S::Restarting, S::RestartingWithHandset}), E::Stop, S::Stopped, 0},
    {kWorker, E::StopOverdue, kSame, KillWorker},
};

}  // namespace

PortAnswer portAnswer(PortState state, PortEvent event)
{
    const uint32_t bit = 1u << static_cast<int>(state);
    for (const Rule& rule : kRules) {
        if (rule.event == event && (rule.states & bit))
            return {rule.next == kSame ? state : rule.next, rule.actions};
    }
    return {state, 0};
}

bool ignored(PortState state, PortAnswer answer) { return answer.next == state && answer.actions == 0; }

bool quietWhenIgnored(PortEvent event)
{
    return event == PortEvent::Heard || event == PortEvent::ArmAllowed || event == PortEvent::StopOverdue;
}

namespace {

// Each state's words, in the order of PortState: its name in a trace, its text for people
// (the table's column, the page's headline), its word for the page's tile (its colour).
struct StateWords {
    const char* name;
    const char* text;
    const char* word;
};
constexpr StateWords kStateWords[kPortStates] = {
    {"Starting", "starting", "starting"},
    {"Replacing", "starting", "starting"},
    {"AwaitingAdapter", "waiting for its adapter", "absent"},
    {"Unusable", "port unusable", "unusable"},
    {"Present", "port present", "idle"},
    {"Ready", "ready", "idle"},
    {"Armed", "waiting for a handset", "waiting"},
    {"AwaitingLabel", "scan the label", "label"},
    {"Labelled", "label given", "waiting"},
    {"Flashing", "flashing", "flashing"},
    {"Removing", "remove the handset", "remove"},
    {"Restarting", "worker restarting", "restarting"},
    {"RestartingWithHandset", "worker restarting", "restarting"},
    {"Stopped", "stopped", "stopped"},
};

const StateWords& wordsOf(PortState state)
{
    static constexpr StateWords kNone = {"?", "", ""};
    const int i = static_cast<int>(state);
    return i >= 0 && i < kPortStates ? kStateWords[i] : kNone;
}

}  // namespace

const char* portStateText(PortState state) { return wordsOf(state).text; }
const char* portStateWord(PortState state) { return wordsOf(state).word; }
const char* portStateName(PortState state) { return wordsOf(state).name; }

const char* portEventName(PortEvent event)
{
    static constexpr const char* kNames[kPortEvents] = {
        "Heard", "PortPresent", "PortAbsent", "PortUnusable", "Ready", "ArmTaken", "HandsetOn", "HandsetOff",
        "UnitStarted", "Progress", "UnitEnded", "Unsent", "RemoveAsked", "WorkerError", "ReleaseFault",
        "ArmAllowed", "LabelGiven", "WorkerSilent", "WorkerLost", "WorkerDone", "StartFailed", "StartDue",
        "Stop", "StopOverdue"};
    const int i = static_cast<int>(event);
    return i >= 0 && i < kPortEvents ? kNames[i] : "?";
}

const char* portActionName(uint32_t action)
{
    static constexpr const char* kNames[] = {
        "NotePort", "ShowPort", "ShowState", "ShowWorkerEvent", "ShowError", "LeaveLabelQueue",
        "GiveLabelBack", "RefuseLabel", "TakeLabel", "SendArm", "SendGo", "SendStop", "SeekLabel",
        "ShowHandsetGone", "BeginUnit", "TrackProgress", "RecordUnit", "EndHungWorker", "ForgetWorker",
        "RecordLostUnit", "RecordHungUnit", "CountEarlyEnd", "CountStartFailure", "ResetStartFailures",
        "ScheduleRestart", "StartWorker", "StartWorkerForRemoval", "KillWorker", "StopForRelease",
        "CheckFaults"};
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i)
        if (action == 1u << i)
            return kNames[i];
    return "?";
}

std::string portActionsText(uint32_t actions)
{
    if (actions == 0)
        return "ignored";
    std::string text;
    for (uint32_t bit = 1; bit != 0 && bit <= kLastPortAction; bit <<= 1)
        if (actions & bit)
            text += (text.empty() ? "" : " ") + std::string(portActionName(bit));
    return text;
}

bool holdsUnit(PortState state)
{
    return state == PortState::Armed || state == PortState::AwaitingLabel || state == PortState::Labelled ||
           state == PortState::Flashing;
}

RestartBackoff::Clock::time_point RestartBackoff::next(Clock::time_point now)
{
    const auto at = now + pause_;
    pause_ = std::min(pause_ * 2, kLongest);
    return at;
}

// A station's ports: what happened turned into each port's event, the port's table asked
// (port_state.h), and its actions carried out (see station_core.h). Main thread.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "session/exit_codes.h"
#include "session/results.h"
#include "station/station_core.h"

namespace station_core {

namespace {

// Workers in a row that ended before they were ready, on every port, before the station
// concludes that no restart will mend it.
constexpr int kStartFailuresToGiveUp = 3;

std::string tail(const std::string& path, size_t lines)
{
    std::ifstream in(path);
    std::vector<std::string> kept;
    for (std::string line; std::getline(in, line);) {
        kept.push_back(line);
        if (kept.size() > lines)
            kept.erase(kept.begin());
    }
    std::string text;
    for (const std::string& line : kept)
        text += (text.empty() ? "" : " | ") + line;
    return text;
}

// The port's event for what its worker said.
struct EventOf {
    PortEvent operator()(const HelloEvent&) const { return PortEvent::Heard; }
    PortEvent operator()(const BeatEvent&) const { return PortEvent::Heard; }
    PortEvent operator()(const ByeEvent&) const { return PortEvent::Heard; }
    PortEvent operator()(const PresenceEvent& e) const
    {
        return e.presence == PortPresence::Present   ? PortEvent::PortPresent
               : e.presence == PortPresence::Waiting ? PortEvent::PortAbsent
                                                     : PortEvent::PortUnusable;
    }
    PortEvent operator()(const ReadyEvent&) const { return PortEvent::Ready; }
    PortEvent operator()(const ArmedEvent&) const { return PortEvent::ArmTaken; }
    PortEvent operator()(const HandsetEvent& e) const
    {
        return e.present ? PortEvent::HandsetOn : PortEvent::HandsetOff;
    }
    PortEvent operator()(const UnitStartEvent&) const { return PortEvent::UnitStarted; }
    PortEvent operator()(const ProgressEvent&) const { return PortEvent::Progress; }
    PortEvent operator()(const UnsentEvent&) const { return PortEvent::Unsent; }
    PortEvent operator()(const UnitEndEvent&) const { return PortEvent::UnitEnded; }
    PortEvent operator()(const RemoveEvent&) const { return PortEvent::RemoveAsked; }
    PortEvent operator()(const ErrorEvent& e) const
    {
        return e.fault == WorkerFault::Release ? PortEvent::ReleaseFault : PortEvent::WorkerError;
    }
};

}  // namespace

// The worker's event of type T that came with the port's event: the table gives each action
// only with the events that carry what it needs.
template <class T>
const T* said(const Happening& with)
{
    return with.worker ? std::get_if<T>(with.worker) : nullptr;
}

void Station::take(const WorkerMessage& message)
{
    Port& port = ports_[message.port];
    port.lastHeard = Clock::now();
    if (message.ended) {
        if (options_.interrupted && options_.interrupted() && !interrupted_) {
            interrupted_ = true;  // a signal to the group may reach the worker first
            beginStopping("interrupted");
        }
        feed(message.port, stopping_ ? PortEvent::WorkerDone : PortEvent::WorkerLost);
        return;
    }
    WorkerEvent event;
    std::string error;
    if (!parseWorkerEvent(message.line, &event, &error))
        return;  // a worker writes only events; anything else is not ours to act on
    Happening with;
    with.worker = &event;
    feed(message.port, std::visit(EventOf{}, event), with);
}

// The one place a port moves: its table answers, the port enters the next state, then the
// actions are carried out in the order of their bits.
void Station::feed(size_t index, PortEvent event, const Happening& with)
{
    Port& port = ports_[index];
    const PortState from = port.state;
    const PortAnswer answer = portAnswer(from, event);
    trace(index, from, event, answer);
    if (answer.next != from)
        enter(port, answer.next);
    for (uint32_t bit = 1; bit != 0 && bit <= kLastPortAction; bit <<= 1)
        if (answer.actions & bit)
            carryOut(index, bit, with);
}

void Station::trace(size_t index, PortState from, PortEvent event, PortAnswer answer)
{
    if (!trace_ || (ignored(from, answer) && quietWhenIgnored(event)))
        return;
    const double at = std::chrono::duration<double>(Clock::now() - started_).count();
    std::fprintf(trace_, "%.3f port %zu %s + %s -> %s: %s\n", at, index + 1, portStateName(from),
                 portEventName(event), portStateName(answer.next),
                 ignored(from, answer) ? "ignored" : portActionsText(answer.actions).c_str());
    std::fflush(trace_);
}

void Station::enter(Port& port, PortState state)
{
    port.state = state;
    port.view.state = portStateText(state);
    port.view.kind = state;
    if (state != PortState::Flashing) {
        port.view.sequence = 0;
        port.view.phase.clear();
    }
}

void Station::carryOut(size_t index, uint32_t action, const Happening& with)
{
    if (action < BeginUnit)
        showOrLabel(ports_[index], action, with);
    else
        unitOrWorker(index, action, with);
}

// The actions that show, and those of the labels and the worker's commands.
void Station::showOrLabel(Port& port, uint32_t action, const Happening& with)
{
    switch (static_cast<PortAction>(action)) {
    case NotePort:
        if (const PresenceEvent* e = said<PresenceEvent>(with)) {
            port.device = e->device;
            port.view.identity = e->summary;
        }
        break;
    case ShowPort:
        if (const PresenceEvent* e = said<PresenceEvent>(with))
            view_.show(&port.view, PortPlace{port.state, *e});
        break;
    case ShowState: showState(port, with); break;
    case ShowWorkerEvent:
        if (const UnsentEvent* e = said<UnsentEvent>(with))
            view_.show(&port.view, UnitUnsent{*e});
        break;
    case ShowError:
        if (const ErrorEvent* e = said<ErrorEvent>(with))
            view_.show(&port.view, WorkerSaid{*e});
        else
            view_.show(&port.view, WorkerFailed{with.text});
        break;
    case LeaveLabelQueue: labels_.portLeft(indexOf(port)); break;
    case GiveLabelBack:
        if (port.label)
            labels_.giveBack(*port.label, Clock::now());
        port.label.reset();
        port.view.label.clear();
        break;
    case RefuseLabel:
        if (with.label)
            labels_.giveBack(*with.label, Clock::now());
        break;
    case TakeLabel:
        if (with.label)
            takeLabel(port, *with.label);
        break;
    case SendArm: send(port, WorkerCommand::Arm); break;
    case SendGo: send(port, WorkerCommand::Go); break;
    case SendStop: send(port, WorkerCommand::Stop); break;
    case SeekLabel: seekLabel(indexOf(port)); break;
    case ShowHandsetGone:
        view_.show(&port.view, HandsetGone{});
        break;
    default: break;
    }
}

// The actions of a unit, of the worker's life and of the station's faults.
void Station::unitOrWorker(size_t index, uint32_t action, const Happening& with)
{
    Port& port = ports_[index];
    switch (static_cast<PortAction>(action)) {
    case BeginUnit:
        if (const UnitStartEvent* e = said<UnitStartEvent>(with))
            beginUnit(port, *e);
        break;
    case TrackProgress:
        if (const ProgressEvent* e = said<ProgressEvent>(with))
            trackProgress(port, *e);
        break;
    case RecordUnit:
        if (const UnitEndEvent* e = said<UnitEndEvent>(with))
            endUnit(port, e->unit);
        break;
    case EndHungWorker: endHungWorker(port); break;
    case ForgetWorker: forgetWorker(port); break;
    case RecordLostUnit: recordLostUnit(port, interrupted_ ? kExitInterrupted : kExitWorkerLost); break;
    case RecordHungUnit: recordLostUnit(port, kExitWorkerHung); break;
    case CountEarlyEnd:
        // One killed by a signal (-1) was ended from outside, which says nothing of the next one.
        port.startFailures += port.lastExit != -1 ? 1 : 0;
        break;
    case CountStartFailure: ++port.startFailures; break;
    case ResetStartFailures: port.startFailures = 0; break;
    case ScheduleRestart:
        scheduleRestart(port, !with.text.empty() ? with.text
                                                 : "its worker ended (exit " + std::to_string(port.lastExit) +
                                                       "): starting a fresh one. " + tail(port.errorFile, 3));
        break;
    case StartWorker: startWorker(index, false); break;
    case StartWorkerForRemoval: startWorker(index, true); break;
    case KillWorker:
        if (port.worker)
            port.worker->kill();
        break;
    case StopForRelease:
        beginStopping("the release file's copy " + release_.copyPath +
                          " cannot be read (removed by a temporary-folder cleaner?)",
                      kResultFileNotOpened);
        break;
    case CheckFaults: checkRepeatingFaults(port); break;
    default: break;
    }
}

// The port's new state, with the worker's words when they moved it.
void Station::showState(Port& port, const Happening& with)
{
    PortMoved moved{port.state, std::nullopt};
    if (with.worker)
        moved.said = *with.worker;
    view_.show(&port.view, moved);
}

void Station::send(Port& port, WorkerCommand command)
{
    // A worker that cannot be written to is ending: its end comes as an event.
    if (port.worker)
        port.worker->send(workerCommandLine(command));
}

// A fresh worker that replaces one lost with a handset on the cable first waits for it to go:
// that handset is already recorded, and is not flashed again without being plugged in again.
void Station::startWorker(size_t index, bool removalFirst)
{
    Port& port = ports_[index];
    port.startAt = Clock::time_point::max();
    port.worker = std::make_unique<WorkerProcess>(index, messages_);
    port.lastHeard = Clock::now();
    WorkerOptions worker = options_.worker;
    worker.selector = port.view.selector;
    worker.releasePath = release_.copyPath;
    worker.awaitRemovalFirst = removalFirst;
    worker.holdForLabel = options_.scanLabels;
    worker.unitRow = unitRow(port);
    std::vector<std::string> argv = {options_.workerProgram, "worker"};
    for (std::string& argument : workerArguments(worker))
        argv.push_back(std::move(argument));
    Happening failed;
    if (port.worker->start(argv, port.errorFile, &failed.text))
        return;
    port.worker.reset();
    feed(index, PortEvent::StartFailed, failed);
}

// A worker that has said nothing, not even its beat, for the limit is hung: it is ended and
// waited for here, so that its unit is recorded as the hung worker's.
void Station::endHungWorker(Port& port)
{
    const auto limit = std::chrono::milliseconds(options_.workerSilenceMs);
    view_.show(&port.view, WorkerHung{limit.count()});
    port.worker->kill();
    forgetWorker(port);
}

void Station::forgetWorker(Port& port)
{
    if (port.worker)
        port.lastExit = port.worker->finish();
    port.worker.reset();
}

// The one restart path, after the port's back-off.
void Station::scheduleRestart(Port& port, const std::string& why)
{
    view_.show(&port.view, WorkerEnded{why});
    port.startAt = port.backoff.next(Clock::now());
}

// A fault no restart mends stops the station with one message rather than a loop.
void Station::checkRepeatingFaults(const Port& port)
{
    std::error_code ec;
    if (!std::filesystem::exists(release_.copyPath, ec)) {
        beginStopping("the release file's copy " + release_.copyPath +
                          " is gone (removed by a temporary-folder cleaner?)",
                      kResultFileNotOpened);
        return;
    }
    const bool allFailing = std::all_of(ports_.begin(), ports_.end(), [](const Port& p) {
        return p.startFailures >= kStartFailuresToGiveUp;
    });
    if (allFailing)
        beginStopping("every port's worker fails at its start: " + tail(port.errorFile, 3),
                      kStationWorkersFailed);
}

// Scanning labels: a handset answered on an armed port. It is flashed once its label is there.
void Station::seekLabel(size_t index)
{
    if (const std::optional<GivenLabel> given = labels_.handsetAppeared(index)) {
        Happening with;
        with.label = &*given;
        feed(index, PortEvent::LabelGiven, with);
        return;
    }
    view_.show(&ports_[index].view, AwaitingLabel{ports_[index].state});
}

}  // namespace station_core

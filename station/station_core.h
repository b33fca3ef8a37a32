// The station's insides, shared by its few files (station.h says what it does). One Station
// per run, owned by runStation; its main thread alone touches it.
//   station.cpp          before and after the run (checks, the run's record, the exit code); the loop
//   port_actions.cpp     the port machine's events in, its actions carried out (port_state.h)
//   station_units.cpp    units: their start, their end to the record, their result shown; labels
// The loop is the one place each turn passes through: read events (worker lines, written
// units, labels, timers, signals), hand each port's to its machine, carry out the actions.
#ifndef TARVOLO_STATION_STATION_CORE_H
#define TARVOLO_STATION_STATION_CORE_H

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "record/production_record.h"
#include "record/tool_identity.h"
#include "station/central_watch.h"
#include "station/label_input.h"
#include "station/label_queue.h"
#include "station/port_state.h"
#include "station/record_writer.h"
#include "station/release_copy.h"
#include "station/revocation_watch.h"
#include "station/station.h"
#include "station/station_view.h"
#include "station/worker_messages.h"
#include "station/worker_process.h"

namespace station_core {

using Clock = std::chrono::steady_clock;

struct Port {
    PortView view;
    PortState state = PortState::Restarting;
    std::unique_ptr<WorkerProcess> worker;
    std::string errorFile;
    std::string device;            // what the worker opens, once it has said
    UnitRecord unit;               // the unit in progress (Flashing)
    Clock::time_point unitStarted;
    Clock::time_point lastHeard;   // the worker's last line
    std::optional<GivenLabel> label;  // Labelled and Flashing: the label of the handset on the port
    int startFailures = 0;         // workers in a row that ended before they were ready
    int lastExit = 0;              // the exit code of the worker that ended last
    Clock::time_point startAt = Clock::time_point::max();  // StartDue once passed
    RestartBackoff backoff;
};

// What came with a port's event.
struct Happening {
    const WorkerEvent* worker = nullptr;  // the worker's line, parsed
    const GivenLabel* label = nullptr;    // LabelGiven
    std::string text;                     // StartFailed: why
};

class Station {
public:
    explicit Station(const StationOptions& options);
    ~Station();
    int run();
    bool centralLeftBlocked() const { return central_.leftBlocked(); }

private:
    // station.cpp
    int prepare();
    bool openTrace(std::string* error);
    void beginRun();
    void loop();
    void turn();
    void offerTimers();
    int finish();
    int endingCode();
    StationTotals totals() const;
    std::vector<PortView> views() const;
    void beginStopping(const std::string& why, int code = 0);
    bool allWorkersEnded() const;
    bool quotaLeft() const;

    // port_actions.cpp
    void take(const WorkerMessage& message);
    void feed(size_t index, PortEvent event, const Happening& with = {});
    void trace(size_t index, PortState from, PortEvent event, PortAnswer answer);
    void carryOut(size_t index, uint32_t action, const Happening& with);
    void showOrLabel(Port& port, uint32_t action, const Happening& with);
    void unitOrWorker(size_t index, uint32_t action, const Happening& with);
    void showState(Port& port, const Happening& with);
    void enter(Port& port, PortState state);
    void startWorker(size_t index, bool removalFirst);
    void endHungWorker(Port& port);
    void forgetWorker(Port& port);
    void scheduleRestart(Port& port, const std::string& why);
    void checkRepeatingFaults(const Port& port);
    void seekLabel(size_t index);
    void send(Port& port, WorkerCommand command);

    // station_units.cpp
    UnitRecord unitRow(const Port& port) const;
    void beginUnit(Port& port, const UnitStartEvent& event);
    void trackProgress(Port& port, const ProgressEvent& event);
    void takeLabel(Port& port, const GivenLabel& given);
    void takeLabels();
    void recordLostUnit(Port& port, int code);
    void endUnit(Port& port, UnitRecord unit);
    void unitWritten(WrittenUnit& written);
    void countUnit(Port& port, const UnitRecord& unit);

    size_t indexOf(const Port& port) const { return static_cast<size_t>(&port - ports_.data()); }

    const StationOptions& options_;
    StationView view_;
    LabelQueue labels_;
    std::unique_ptr<LabelInput> labelInput_;  // with --scan
    bool labelsEndedSaid_ = false;
    ReleaseCopy release_;
    ReleaseSigner signer_;
    std::unique_ptr<ProductionRecord> record_;
    std::unique_ptr<RecordWriter> writer_;
    CentralWatch central_;
    RevocationWatch revocations_;
    StationRun run_;
    ToolIdentity tool_;
    std::vector<std::string> selectors_;
    std::vector<Port> ports_;
    WorkerMessages messages_;
    std::FILE* trace_ = nullptr;   // --trace: every step of every port's machine
    Clock::time_point started_ = Clock::now();
    int64_t nextSequence_ = 0;
    int64_t units_ = 0;            // ended, whatever their outcome
    int64_t failed_ = 0;
    int64_t interruptedUnits_ = 0;
    bool stopping_ = false;
    bool interrupted_ = false;
    bool recordFailed_ = false;
    int faultCode_ = 0;            // a fault that stopped the station (kResultFileNotOpened, ...)
    Clock::time_point stopDeadline_;
    bool overdueSaid_ = false;
};

// Writes why the station cannot go on to standard error; returns `code`.
int fail(int code, const std::string& text);

}  // namespace station_core

#endif

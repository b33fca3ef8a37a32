// What a station and its workers say to each other, as types. The station starts a worker with
// its options as arguments (`tarvolo worker --port ... --release ...`); the worker writes one
// JSON object per event on its standard output ({"event":"ready"}, ...), the station writes
// one command per line on the worker's standard input ("arm", "stop"). This header is the
// whole vocabulary: for each of the three, one writer and one parser (workerArguments and
// parseWorkerArguments, workerEventLine and parseWorkerEvent, workerCommandLine and
// parseWorkerCommand), so both ends cannot drift apart.
// Plain values and pure functions: any thread.
#ifndef TARVOLO_STATION_WORKER_MESSAGES_H
#define TARVOLO_STATION_WORKER_MESSAGES_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "capture/capture_store.h"
#include "record/unit_record.h"

// ---- The worker's start --------------------------------------------------------------------

struct WorkerOptions {
    std::string selector;      // the port, as --port takes it
    std::string releasePath;   // the station's private copy of the release file
    uint32_t speed = 115200;
    int32_t mode = 0;          // DownloadMode
    int rearmSilenceMs = 2000;
    int handsetSilenceMs = 30000;   // a unit whose handset is silent this long ends as failed
    bool awaitRemovalFirst = false; // it replaces a worker that died: a handset on the cable goes first
    bool holdForLabel = false;      // a handset that answers waits for the station's "go"
    CaptureStorePolicy capture;     // which units' captures are kept, where (unit_capture.h)
    // What every unit of the run has in its record row (the run, station, operator, lot, port,
    // release, signer and tool): the worker starts each unit's row from it, so that its
    // unit_end carries the whole row; the station adds only the unit's number and label.
    UnitRecord unitRow;
};

// The options as the arguments that follow `worker` on the worker's command line.
std::vector<std::string> workerArguments(const WorkerOptions& options);
// Those arguments back. False with a reason for anything workerArguments does not write: a
// worker is started by its station only.
bool parseWorkerArguments(const std::vector<std::string>& arguments, WorkerOptions* options,
                          std::string* error);

// ---- Worker to station ---------------------------------------------------------------------

struct HelloEvent {           // the worker runs: the first line it writes
    std::string selector;
};
enum class PortPresence { Present, Waiting, Unusable };
struct PresenceEvent {            // the port came, is awaited, or cannot be opened
    PortPresence presence = PortPresence::Waiting;
    std::string device;       // Present: what the worker opens
    std::string summary;      // Present: the port for people
    std::string reason;       // Waiting, Unusable
};
struct ReadyEvent {};         // the worker waits for an "arm"
struct ArmedEvent {};         // it took the arm and waits for a handset
struct HandsetEvent {         // scanning labels: a handset answered, and waits for a "go";
    bool present = true;      // false: it was taken off before the "go" came
};
struct UnitStartEvent {       // a handset answered: a unit has begun
    std::string startedUtc;
};
struct ProgressEvent {
    std::string phase;
    int32_t block = 0;
    int32_t total = 0;
    uint64_t bytes = 0;       // written to the line in this unit
    int64_t elapsedMs = 0;    // since the unit began
};
struct UnsentEvent {          // the image's end that no whole block carries: never sent
    int64_t unsentBytes = 0;
    int64_t blockSize = 0;
};
struct UnitEndEvent {         // the unit's row as the worker knows it (unit_facts.h)
    UnitRecord unit;
};
struct RemoveEvent {};        // waiting for the handset to be taken off the cable
struct BeatEvent {};          // nothing else to say, but the worker's loop is turning
// Why a worker stops on its own. Release: the release copy cannot be read, which no restart
// mends. Selector: the port it was given is not one.
enum class WorkerFault { None, Release, Selector };
struct ErrorEvent {
    std::string text;
    WorkerFault fault = WorkerFault::None;
};
struct ByeEvent {};           // the worker ends normally

using WorkerEvent = std::variant<HelloEvent, PresenceEvent, ReadyEvent, ArmedEvent, HandsetEvent,
                                 UnitStartEvent, ProgressEvent, UnsentEvent, UnitEndEvent, RemoveEvent,
                                 BeatEvent, ErrorEvent, ByeEvent>;

// The event as the object its line holds; the station's --json output shows the same object.
nlohmann::json workerEventObject(const WorkerEvent& event);
// The event as one line, "\n" included.
std::string workerEventLine(const WorkerEvent& event);
// One line a worker wrote. False with a reason for anything that is not one of the events
// (a worker only writes these; anything else is not acted on).
bool parseWorkerEvent(const std::string& line, WorkerEvent* event, std::string* error);

// ---- Station to worker ---------------------------------------------------------------------

enum class WorkerCommand {
    Arm,   // flash the next handset that answers
    Stop,  // end now; a unit in progress ends as interrupted
    Go,    // scanning labels: flash the handset that answered (its label has come)
};

// The command's line, without the line end.
const char* workerCommandLine(WorkerCommand command);
// False for a line that is no command.
bool parseWorkerCommand(const std::string& line, WorkerCommand* command);

#endif

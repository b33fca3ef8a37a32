// A production station: many handsets at once, one worker process per port, every unit
// recorded. The station checks and copies the release file, starts a worker per port
// (`tarvolo worker`), hands out "arm"s so that no more than --units units are flashed, keeps
// the production record (it is its only writer: a unit's row is durable before its result
// is shown), shows every port's progress, restarts a worker that dies, and on Ctrl-C stops
// the workers so that units in progress end as "interrupted" (SIGTERM and a hang-up as well).
// A worker that stops reporting is ended and replaced; a fault that would only repeat (the
// release copy gone, every worker failing at its start) stops the station with one message.
// With scanned labels (label_queue.h) a handset is flashed only once its label has come, and
// the label is recorded with its unit.
//
// Threads: the main thread runs everything above; one thread per worker reads its events
// into a queue.
#ifndef TARVOLO_STATION_STATION_H
#define TARVOLO_STATION_STATION_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "central/approvals.h"
#include "central/central_connection.h"
#include "session/exit_codes.h"

enum class StationViewMode { Terminal, Plain, Json };

class StationListener;

struct StationOptions {
    std::string releasePath;
    std::vector<std::string> ports;  // selectors as --port takes them, or all-usb
    uint32_t speed = 115200;
    int32_t mode = 0;                // DownloadMode
    int64_t units = 0;               // stop after this many units in all; 0: until interrupted
    std::string recordPath;          // the production record
    std::string stationId;
    std::string operatorName;
    std::string lot;
    int rearmSilenceMs = 2000;
    int handsetSilenceMs = 30000;    // a handset silent this long mid-download fails its unit
    int workerSilenceMs = 15000;     // a worker that reports nothing this long is ended
    StationViewMode view = StationViewMode::Plain;
    int terminalColumns = 80;        // the table's lines are cut to fit, so it redraws in place
    std::string workerProgram;       // the tarvolo executable that runs `worker`
    std::function<bool()> interrupted;  // true once the operator pressed Ctrl-C
    bool scanLabels = false;         // labels come on standard input; a handset waits for its own
    int scanWindowMs = 30000;        // how long a label waits for a handset before it is dropped
    bool allowRescan = false;        // a label scanned again flashes its unit again (attempt 2, ...)
    StationListener* listener = nullptr;  // also told what the view shows (the web page)
    CentralTarget central;           // the central database; empty connection: none
    double centralRequiredMinutes = 0;   // hold arming while a unit waits longer to be confirmed
    int approvalCheckMs = 60000;     // how often the approvals are fetched again
    bool requireApproval = false;    // the release must be approved centrally
    // How long the approvals fetched last are trusted while the server cannot be reached.
    double approvalMaxAgeDays = kDefaultApprovalMaxAge.count() / 24.0;
    // Handed to each worker as they are: which units' captures it keeps (cli/station_capture.h).
    std::vector<std::string> workerCaptureArguments;
};

// Runs the station and returns its exit code: 0 every unit completed; 20 some unit failed;
// 1 the release file is not usable (or its copy went away); 10 no port could be opened; 21
// every worker fails at its start; 64 a port that is not a selector; 73 the record could not
// be written; 130 stopped by Ctrl-C, SIGTERM or a hang-up. `centralLeftBlocked` is set when
// the central link's thread was left in a call the server never answered: the caller then
// ends the process with endLeavingCentralLink once its own things are closed.
int runStation(const StationOptions& options, bool* centralLeftBlocked);

#endif

// One download from the command line: the release file, the port, the reader thread and the
// engine, driven by the main thread's 500 ms ticks until a result, an interrupt, a lost port
// or the give-up time.
#ifndef TARVOLO_CLI_DOWNLOAD_SESSION_H
#define TARVOLO_CLI_DOWNLOAD_SESSION_H

#include <cstdint>
#include <string>

#include "cli/status_view.h"
#include "session/results.h"

struct DownloadPlan {
    std::string releasePath;
    std::string port;
    uint32_t speed;
    int32_t mode;             // DownloadMode
    bool gang;
    bool autoContinue;        // gang mode: continue as soon as CH1 answers
    int32_t giveUpSeconds;    // 0: wait for a handset until interrupted
    std::string tracePath;
    std::string capturePath;  // empty: no capture
    ViewMode view;
};


// Runs the download and returns the exit code.
int runDownload(const DownloadPlan& plan);

#endif

// A station's worker: one process per port, started by the station (`tarvolo worker`), that
// flashes the handsets of its port one after another for as long as the station wants.
//
// Its loop: wait until the port is there (hot-plug), tell the station it is ready, wait for
// the station's "arm", run one download session until a handset has been flashed (or the
// download failed), report the unit, then wait until the handset has been removed (the port
// unanswered for the re-arm silence) before it is ready again. A port that goes away ends the
// unit in progress as "port lost" and the worker waits for the adapter to come back. A handset
// that falls silent mid-download ends its unit as failed (SilenceJudge in worker.cpp) and the
// port re-arms at once: that handset is gone, one that answers now is the next. A worker
// started to replace one that died first waits for the handset on the cable to be removed.
// When the station scans labels, an armed worker first waits for a handset to answer, says
// so, and flashes it only on the station's "go" (its label has come).
//
// The engine's state is per process, so a fault on one port cannot touch another. Threads:
// the main thread runs the loop and the session's ticks; the session's reader thread and the
// link's reading thread are the others.
#ifndef TARVOLO_STATION_WORKER_H
#define TARVOLO_STATION_WORKER_H

#include <cstdint>
#include <string>

#include "capture/capture_store.h"

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
};

// Runs until the station says stop or goes away. Returns the process exit code: 0, or 64
// for a selector that is not one, 1 for a release file that cannot be read.
int runWorker(const WorkerOptions& options);

#endif

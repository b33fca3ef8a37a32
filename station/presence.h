// After a unit the handset may still sit on the cable, answering inquiries as a handset in
// its flash loader does. The port is armed for the next unit only once it has stayed
// unanswered for the re-arm silence while inquiries kept going, so that the same handset is
// never flashed twice. Worker's main thread.
#ifndef TARVOLO_STATION_PRESENCE_H
#define TARVOLO_STATION_PRESENCE_H

#include <string>

#include "station/worker_link.h"

enum class Presence {
    Removed,   // no answer for the whole silence
    Stopped,   // the station asked to stop, or is gone
    PortLost,  // the port went away
};

// Opens `device` with the standard line settings, sends "<i" every 100 ms and listens for
// '>i' until `silenceMs` have passed without one. The port is closed again when it returns.
Presence waitForRemoval(const std::string& device, int silenceMs, WorkerLink& link);

#endif

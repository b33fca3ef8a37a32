// After a unit the handset may still sit on the cable, answering inquiries as a handset in
// its flash loader does. The port is armed for the next unit only once it has stayed
// unanswered for the re-arm silence while inquiries kept going, so that the same handset is
// never flashed twice. Worker's main thread.
#ifndef TARVOLO_STATION_PRESENCE_H
#define TARVOLO_STATION_PRESENCE_H

#include <functional>
#include <string>

#include "station/worker_link.h"

enum class Presence {
    Removed,   // no answer for the whole silence
    Answered,  // a handset answered
    Released,  // the handset still answered when the caller's condition came true
    Stopped,   // the station asked to stop, or is gone
    PortLost,  // the port went away
};

// Opens `device` with the standard line settings, sends "<i" every 100 ms and listens for
// '>i' until `silenceMs` have passed without one. The port is closed again when it returns.
Presence waitForRemoval(const std::string& device, int silenceMs, WorkerLink& link);

// waitForRemoval that also ends (Released) once `released()` is true while the handset still
// answers: a handset that waits for its label is watched until the label comes.
Presence waitWhileAnswering(const std::string& device, int silenceMs, WorkerLink& link,
                            const std::function<bool()>& released);

// Opens `device` as above and sends "<i" every 100 ms until a handset answers (Answered), the
// station asks to stop, or the port goes. The port is closed again when it returns.
Presence waitForAnswer(const std::string& device, WorkerLink& link);

#endif

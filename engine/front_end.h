// What the engine shows: the one small interface that every front end provides (the
// Windows download dialog, the command-line tool, the tests).
//
// Each call is synchronous: it returns once the front end has shown the change. The engine
// never holds its lock across one of these calls, because a front end may have to wait for
// its own thread, which may be waiting for the lock to run onTick.
#ifndef TARVOLO_ENGINE_FRONT_END_H
#define TARVOLO_ENGINE_FRONT_END_H

#include <cstdint>

struct FrontEnd {
    void* context;
    // Replaces the whole text of status line `control` (1023 phase, 1024 advice).
    void (*setLineText)(void* context, int32_t control, const char* text);
    // Upper bar: hundredths of the percentage done, 0 to 100.
    void (*setFineProgress)(void* context, int32_t position);
    // Lower bar: percentage done (values above 100 show a full bar).
    void (*setOverallProgress)(void* context, int32_t position);
    // Enables (1) or disables (0) the Continue button.
    void (*enableContinue)(void* context, int32_t enable);
    // The download's outcome, a DownloadResult.
    void (*postResult)(void* context, int32_t result);
};

// Installs the front end the engine's outputs go to; nullptr discards every output.
void setFrontEnd(const FrontEnd* frontEnd);

#endif

// What the engine shows: the one small interface that every front end provides (the
// Windows download dialog, the command-line tool, the tests).
//
// Each call is synchronous: it returns once the front end has shown the change. The engine
// never holds its lock across one of these calls, because a front end may have to wait for
// its own thread, which may be waiting for the lock to run onTick.
#ifndef TARVOLO_ENGINE_FRONT_END_H
#define TARVOLO_ENGINE_FRONT_END_H

#include <cstdint>

// Status line controls: the two lines a front end shows.
constexpr int32_t kPhaseLine = 1023;   // what the engine is doing
constexpr int32_t kAdviceLine = 1024;  // what the operator should do

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
    // The engine entered a phase (a Phase of engine/phase.h); may be null. The one call made
    // with the engine lock held, at the moment of the change, so that it is in order with
    // the line: it must only record the change and return, never wait for another thread.
    void (*phaseChanged)(void* context, int32_t phase);
};

struct Engine;

// Installs the front end the engine's outputs go to; nullptr discards every output.
void setFrontEnd(Engine& engine, const FrontEnd* frontEnd);

#endif

// The engine's millisecond clock and its two waits.
//
// There is one time mark per engine (engine.clockMark). elapsedMs keeps the
// seconds-and-milliseconds arithmetic of the mark: (now.s - mark.s) * 1000 + now.ms - mark.ms
// in signed 32-bit arithmetic.
//
// The clock has one seam (setClockSource). The real source is monotonic, so a wall-clock
// jump neither fires nor stalls a time-out; tests install a fake one whose pause advances
// the fake time instead of sleeping.
//
// The waits run on the reader thread inside onTxEmpty and onRxComplete. They do not spin:
// each releases the engine lock and sleeps in steps of at most 1 ms, so it ends within about
// 2 ms of its time, and it returns promptly once the reader is no longer running.
#ifndef TARVOLO_ENGINE_CLOCK_H
#define TARVOLO_ENGINE_CLOCK_H

#include <cstdint>

struct Engine;

#include "engine/engine_state.h"

// Installs a clock source; nullptr puts back the real monotonic one.
void setClockSource(Engine& engine, const ClockSource* source);
ClockMark clockNow(Engine& engine);

void markClock(Engine& engine);
int32_t elapsedMs(Engine& engine);
bool hasElapsed(Engine& engine, int32_t ms);

// Returns once ms milliseconds have passed since the mark, or the reader has stopped.
void waitSinceMark(Engine& engine, int32_t ms);
// Returns once ms milliseconds have passed since the call, or the reader has stopped.
void waitFor(Engine& engine, int32_t ms);

// Milliseconds from a to b with the mark's arithmetic.
int32_t millisBetween(ClockMark from, ClockMark to);

#endif

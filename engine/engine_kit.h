// The engine kit: what every protocol state shares.
//
// Principles of operation. A download is a sequence of protocol states; each state is a few
// handler functions stored in the handler slots (handler_slots.h). A state is entered by a
// function that prints its message, stores its handlers, arms its receive, marks the clock
// and sends its frame. The reader thread calls onTxEmpty when the frame has left the line and
// onRxComplete when the armed receive is full; the front end calls onTick every 500 ms for
// the time-outs. A download ends with postResult.
//
// Interface summary:
//   recogniseResponse      the response recogniser ('>' + one of eleven letters)
//   clearAndSelect*Line, printStatus, set*Progress, enableContinue, postResult   outputs
//   enterPhase, countRetry the named phase, set by each state's start function; its retries
//   initEngine             the start of every download
//   drainReceive, drainWhileSending   the draining receive, while a frame is on its way
//   freezeSlots            no handler acts once the outcome is decided
//   runTick                entry point for the front end's thread (pressContinue: handlers.h)
#ifndef TARVOLO_ENGINE_ENGINE_KIT_H
#define TARVOLO_ENGINE_ENGINE_KIT_H

#include <cstdint>

struct Engine;

#include "engine/clock.h"
#include "engine/engine_state.h"
#include "engine/front_end.h"
#include "engine/handler_slots.h"
#include "engine/wire.h"

// Returns a response letter, or '|' when none is recognised yet (then a one-byte receive
// into responseCell has been armed again). Call after a one-byte receive into responseCell.
uint8_t recogniseResponse(Engine& engine);

// Status text. A line shows only the last text written to it. Each of these empties its line
// and makes it the one this thread's printStatus writes to.
void clearAndSelectPhaseLine(Engine& engine);
void clearAndSelectAdviceLine(Engine& engine);
void printStatus(Engine& engine, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

void setFineProgress(Engine& engine, int32_t position);
void setOverallProgress(Engine& engine, int32_t position);
void enableContinue(Engine& engine, int32_t enable);

// Enters a phase: sets engine.phase and tells the front end (phaseChanged, under the lock).
// Called by each state's start or enter function where its handlers are stored.
void enterPhase(Engine& engine, Phase phase);

// A frame of the current phase goes again (a time-out, a refusal, a wrong block number).
void countRetry(Engine& engine);

// Ends the download: idles all three slots (so that nothing acts after the outcome), hands
// the result to the front end, releases the block buffers and closes the release file.
void postResult(Engine& engine, int32_t result);

// The start of a download: its speeds, mode and counters. checksumKind, the blank byte,
// previousByte and the speed code are left as the engine was made: each download has an
// engine of its own, also when one window or one gang runs download after download. Carried
// over, none of them would help and two could harm: the parameter record sets checksumKind
// and the blank byte before either is read; a '>' left in previousByte by the last handset
// could pair with the next handset's first byte into an answer it never gave; and a speed
// without a code would ask the next handset for whatever speed the last one used.
void initEngine(Engine& engine, int32_t mode, int32_t initialSpeed, int32_t chosenSpeed,
                int32_t gangMode);

// onRxComplete of the draining receive: arms the same receive again.
void drainReceive(Engine& engine);
// A frame is about to go out: stores `sent` in onTxEmpty and drains whatever arrives before
// the frame has left the line.
void drainWhileSending(Engine& engine, Handler sent);
// The outcome is decided, or the download abandoned: from here on no handler may act.
void freezeSlots(Engine& engine);

// Front end thread: runs the handler in onTick once, under the engine lock.
void runTick(Engine& engine);

#endif

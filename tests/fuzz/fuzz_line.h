// A scripted line for the engine harnesses: the engine's port, clock and front end replaced
// by in-memory ones, built only on the public engine and transport interfaces (the tests'
// scripted line brings GoogleTest with it, which a fuzzer binary must not link).
//
// Everything runs on the fuzzer's one thread: the "reader" events (transmit-empty, bytes) and
// the front end's ticks are plain calls made by the harness in the order its input says.
#ifndef TARVOLO_TESTS_FUZZ_FUZZ_LINE_H
#define TARVOLO_TESTS_FUZZ_FUZZ_LINE_H

#include <cstdint>
#include <cstdio>

struct Engine;

namespace fuzzline {

// Called for every frame the engine writes, at the moment it writes it (engine lock held).
using FrameCheck = void (*)(const uint8_t* bytes, uint32_t length);
// Called for every result the engine posts.
using ResultCheck = void (*)(int32_t result);

// Puts the engine, the frame I/O and the slots back to their program-start state, installs
// the fake clock, the recording front end and the port, and marks the line running at 19200.
void begin(FrameCheck onFrame, ResultCheck onResult);
// Stops the line, unbinds everything and puts the engine back to its start state.
void end();
// The engine of the input in progress (between begin and end).
Engine& currentEngine();

// Makes `file` the engine's open release file (the engine closes it with the download).
void useReleaseFile(FILE* file);

// Reader side: one transmit-empty event, one delivery of bytes.
void txEmpty();
void receive(const uint8_t* bytes, uint32_t length);
// Front end side: moves the fake clock, then runs onTick once; Continue pressed.
void tickAfter(int32_t ms);
void pressContinueButton();
// The operator's Abort: the reader stops; the dialog's timer may still tick until it closes.
// Nothing may be written to the port from here on.
void stopLine();
bool lineStopped();

// What the line has seen so far in this run.
uint32_t framesWritten();
uint32_t resultsPosted();
uint32_t currentSpeed();
int64_t nowMs();

}  // namespace fuzzline

#endif

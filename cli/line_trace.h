// A serial-port table that passes every call through to the real port and, when asked, writes
// every byte sent and received to a trace file with its time and the line speed. (The bytes on
// the line for the progress display come from the download session.)
#ifndef TARVOLO_CLI_LINE_TRACE_H
#define TARVOLO_CLI_LINE_TRACE_H

#include <string>

#include "transport/serial_port.h"

// Wraps `real`. With a non-empty path, also opens the trace file (false when it cannot).
bool startLineWatch(const SerialPortOps* real, const std::string& tracePath, std::string* error);
// The wrapping table; valid after startLineWatch.
const SerialPortOps* watchedOps();
// Writes a note with its time into the trace file, when there is one.
void noteOnLine(const char* text);
// Flushes and closes the trace file. False when some of the trace could not be written (a full
// disk): the file is then incomplete.
bool stopLineWatch();

#endif

// A serial-port table that passes every call through to the real port and watches the line:
// it counts the bytes each way (for the progress display) and, when asked, writes every byte
// sent and received to a trace file with its time and the line speed.
#ifndef TARVOLO_CLI_LINE_TRACE_H
#define TARVOLO_CLI_LINE_TRACE_H

#include <cstdint>
#include <string>

#include "transport/serial_port.h"

// Wraps `real`. With a non-empty path, also opens the trace file (false when it cannot).
bool startLineWatch(const SerialPortOps* real, const std::string& tracePath, std::string* error);
// The wrapping table; valid after startLineWatch.
const SerialPortOps* watchedOps();
// Flushes and closes the trace file.
void stopLineWatch();

uint64_t bytesSentOnLine();
uint64_t bytesReceivedOnLine();
uint32_t lineSpeedNow();

#endif

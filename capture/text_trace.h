// Turning a text trace of `tarvolo download --trace` into a capture: each "TX"/"RX" line one
// chunk at its time and speed, each "--" note a comment on the next packet.
#ifndef TARVOLO_CAPTURE_TEXT_TRACE_H
#define TARVOLO_CAPTURE_TEXT_TRACE_H

#include <cstdint>
#include <string>

#include "capture/capture_recorder.h"

// `text` is the whole trace; its times count from `startUs` (since 1970: the trace keeps only
// seconds since its start). False, with `error` naming the line, for a line that is not a
// trace's; a trace is data from outside.
bool convertTextTrace(const std::string& text, uint64_t startUs, CaptureRecorder& recorder,
                      std::string* error);

#endif

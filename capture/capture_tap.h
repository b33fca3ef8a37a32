// A line that passes every call through to the line beneath it and hands each write, each
// read and each speed switch to a CaptureRecorder: the same calls the command line's text
// trace watches (cli/line_trace.h), so a capture and a trace of one download list the same
// chunks. A purge is noted on the next packet. It must outlive the download on line().
#ifndef TARVOLO_CAPTURE_CAPTURE_TAP_H
#define TARVOLO_CAPTURE_CAPTURE_TAP_H

#include "capture/capture_recorder.h"
#include "session/session.h"
#include "transport/serial_port.h"

class CaptureTap {
public:
    // `recorder` may be null: the tap then only passes calls through.
    CaptureTap(const DownloadLine& below, CaptureRecorder* recorder) : below_(below), recorder_(recorder) {}
    CaptureTap(const CaptureTap&) = delete;
    CaptureTap& operator=(const CaptureTap&) = delete;

    DownloadLine line();

private:
    struct Ops;  // capture_tap.cpp
    DownloadLine below_;
    CaptureRecorder* recorder_;
};

#endif

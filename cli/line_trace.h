// A line that passes every call through to the real port and, when asked, writes every byte
// sent and received to a trace file with its time and the line speed. (The bytes on the line
// for the progress display come from the download session.) One per download, owned by its
// session; it must outlive the download that runs on line().
#ifndef TARVOLO_CLI_LINE_TRACE_H
#define TARVOLO_CLI_LINE_TRACE_H

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "session/session.h"
#include "transport/serial_port.h"

class LineTrace {
public:
    LineTrace() = default;
    LineTrace(const LineTrace&) = delete;
    LineTrace& operator=(const LineTrace&) = delete;

    // Wraps the open `port` of `real`. With a non-empty path, also opens the trace file (false
    // when it cannot).
    bool start(const SerialPortOps* real, SerialPort* port, const std::string& tracePath,
               std::string* error);
    // The line for DownloadSession::start; valid after start.
    DownloadLine line();
    // Writes a note with its time into the trace file, when there is one. Takes only the
    // trace's own lock: safe under the engine lock.
    void note(const char* text);
    // Flushes and closes the trace file. False when some of the trace could not be written (a
    // full disk): the file is then incomplete.
    bool stop();

private:
    struct Ops;  // the wrapping table's functions (line_trace.cpp)

    bool tracing() const { return open_.load(std::memory_order_acquire); }
    double secondsSinceStart() const;
    void trace(double seconds, uint32_t lineSpeed, const char* direction, const uint8_t* bytes,
               uint32_t length);

    const SerialPortOps* real_ = nullptr;
    SerialPort* port_ = nullptr;
    std::atomic<uint32_t> speed_{19200};
    // Writes come from either engine thread, reads from the reader thread: the trace file is
    // guarded by its own mutex, never by the engine lock.
    std::mutex mutex_;
    FILE* file_ = nullptr;
    std::chrono::steady_clock::time_point start_;
    std::atomic<bool> open_{false};  // lets the line skip the trace's work when there is none
    bool lost_ = false;  // a write to the trace failed (a full disk): the trace is incomplete
};

#endif

// Watching the line (see line_trace.h). Writes come from either engine thread, reads from the
// reader thread: the trace file is guarded by its own mutex, never by the engine lock.
#include "cli/line_trace.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

const SerialPortOps* realOps = nullptr;
SerialPortOps watched = {};
std::atomic<uint32_t> speed{19200};

std::mutex traceMutex;
FILE* traceFile = nullptr;
std::chrono::steady_clock::time_point traceStart;
std::atomic<bool> traceOpen{false};  // lets the line skip the trace's work when there is none
bool traceLost = false;  // a write to the trace failed (a full disk): the trace is incomplete

bool tracing() { return traceOpen.load(std::memory_order_acquire); }

double secondsSinceStart()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - traceStart).count();
}

// One line: the time, the direction, the line speed and the bytes in hex. Formatted with a
// table into one buffer: a frame of a thousand bytes takes microseconds, not the fraction of
// a millisecond that a formatted print per byte costs.
void trace(double seconds, uint32_t lineSpeed, const char* direction, const uint8_t* bytes,
           uint32_t length)
{
    static const char kHex[] = "0123456789ABCDEF";
    if (length == 0)
        return;
    char head[48];
    const int headLength = std::snprintf(head, sizeof head, "%10.6f %s %6u", seconds, direction,
                                         static_cast<unsigned>(lineSpeed));
    std::string line(head, static_cast<size_t>(headLength > 0 ? headLength : 0));
    line.reserve(line.size() + 3 * static_cast<size_t>(length) + 1);
    for (uint32_t i = 0; i < length; ++i) {
        line += ' ';
        line += kHex[bytes[i] >> 4];
        line += kHex[bytes[i] & 0x0F];
    }
    line += '\n';
    std::lock_guard<std::mutex> guard(traceMutex);
    if (traceFile && std::fwrite(line.data(), 1, line.size(), traceFile) != line.size())
        traceLost = true;
}

void traceNote(const char* text)
{
    std::lock_guard<std::mutex> guard(traceMutex);
    if (!traceFile)
        return;
    if (std::fprintf(traceFile, "%10.6f -- %s\n", secondsSinceStart(), text) < 0)
        traceLost = true;
}

}  // namespace

void noteOnLine(const char* text) { traceNote(text); }

namespace {

// The line is written after the bytes, with the time the write began: tracing must not hold
// a frame back. (A byte received meanwhile may therefore be listed just before it.)
bool watchedWrite(SerialPort* port, const uint8_t* bytes, uint32_t length)
{
    const double began = tracing() ? secondsSinceStart() : 0.0;
    const uint32_t lineSpeed = speed.load();
    const bool ok = realOps->write(port, bytes, length);
    if (tracing())
        trace(began, lineSpeed, "TX", bytes, length);
    if (!ok)
        traceNote("write failed");
    return ok;
}

int32_t watchedRead(SerialPort* port, uint8_t* buffer, uint32_t length)
{
    const int32_t n = realOps->read(port, buffer, length);
    if (n > 0 && tracing())
        trace(secondsSinceStart(), speed.load(), "RX", buffer, static_cast<uint32_t>(n));
    return n;
}

void watchedSetSpeed(SerialPort* port, uint32_t baud)
{
    speed = baud;
    char note[48];
    std::snprintf(note, sizeof note, "line speed %u", static_cast<unsigned>(baud));
    traceNote(note);
    realOps->setSpeed(port, baud);
}

void watchedPurge(SerialPort* port)
{
    traceNote("purge");
    realOps->purge(port);
}

void watchedSetEventMask(SerialPort* port, uint32_t mask) { realOps->setEventMask(port, mask); }
bool watchedWaitEvent(SerialPort* port, uint32_t* events) { return realOps->waitEvent(port, events); }
int32_t watchedBytesWaiting(SerialPort* port) { return realOps->bytesWaiting(port); }
void watchedClose(SerialPort* port) { realOps->close(port); }

}  // namespace

bool startLineWatch(const SerialPortOps* real, const std::string& tracePath, std::string* error)
{
    realOps = real;
    watched = {watchedWrite, watchedSetEventMask, watchedWaitEvent, watchedBytesWaiting,
               watchedRead, watchedPurge, watchedSetSpeed, watchedClose};
    speed = 19200;
    if (tracePath.empty())
        return true;
    std::lock_guard<std::mutex> guard(traceMutex);
    traceFile = std::fopen(tracePath.c_str(), "w");
    if (!traceFile) {
        *error = "cannot write the trace file " + tracePath;
        return false;
    }
    traceStart = std::chrono::steady_clock::now();
    traceLost = std::fprintf(traceFile, "# seconds dir speed bytes (hex)\n") < 0;
    traceOpen = true;
    return true;
}

const SerialPortOps* watchedOps() { return &watched; }

bool stopLineWatch()
{
    traceOpen = false;
    std::lock_guard<std::mutex> guard(traceMutex);
    if (traceFile) {
        // Buffered lines reach the disk only here: a full disk shows at the latest now.
        const bool failed = std::ferror(traceFile) != 0;
        if (std::fclose(traceFile) != 0 || failed)
            traceLost = true;
        traceFile = nullptr;
    }
    return !traceLost;
}


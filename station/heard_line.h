// A worker's line that remembers when the handset last sent a byte: the port's operations
// passed through, each read noted. A handset pulled off its cable mid-download leaves the
// engine resending into silence for ever (the single download's design); the worker uses this
// to end such a unit instead. The reader thread reads and notes; the worker's main thread asks.
#ifndef TARVOLO_STATION_HEARD_LINE_H
#define TARVOLO_STATION_HEARD_LINE_H

#include <atomic>
#include <chrono>

#include "session/session.h"
#include "transport/serial_port.h"

class HeardLine {
public:
    // Wraps an open port; it must outlive the download that runs on line().
    HeardLine(const SerialPortOps* ops, SerialPort* port);
    HeardLine(const HeardLine&) = delete;
    HeardLine& operator=(const HeardLine&) = delete;

    // The line for DownloadSession::start: every call reaches the real port.
    DownloadLine line();
    // When the last byte arrived (the wrapping's creation before the first).
    std::chrono::steady_clock::time_point lastHeard() const;

private:
    static HeardLine* of(SerialPort* port);
    static bool write(SerialPort* port, const uint8_t* bytes, uint32_t length);
    static void setEventMask(SerialPort* port, uint32_t mask);
    static bool waitEvent(SerialPort* port, uint32_t* events);
    static int32_t bytesWaiting(SerialPort* port);
    static int32_t read(SerialPort* port, uint8_t* buffer, uint32_t length);
    static void purge(SerialPort* port);
    static void setSpeed(SerialPort* port, uint32_t baud);
    static void close(SerialPort* port);
    static const SerialPortOps kOps;

    const SerialPortOps* ops_;
    SerialPort* port_;
    std::atomic<std::chrono::steady_clock::rep> lastHeard_;
};

#endif

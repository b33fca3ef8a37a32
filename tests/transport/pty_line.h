// Test support for the transport tests: a pseudo-terminal whose slave the code under test
// opens as its serial port while the test plays the far end on the master, a port-operations
// table that counts calls, and small helpers for waiting and measuring CPU time.
#ifndef TARVOLO_TESTS_TRANSPORT_PTY_LINE_H
#define TARVOLO_TESTS_TRANSPORT_PTY_LINE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "transport/serial_port.h"

class PtyLine {
public:
    PtyLine();   // opens a pty; the slave side is free for openSerialPort(slavePath())
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }
    void send(const std::vector<uint8_t>& bytes);
    // Bytes that have arrived at the master, waiting up to waitMs for `want` of them.
    std::vector<uint8_t> receive(size_t want, int waitMs);
    void closeMaster();   // the far end goes away
    uint32_t slaveSpeed() const;   // the line speed the port set, as the far end sees it

private:
    int master_ = -1;
    std::string slavePath_;
};

// The platform's port operations, with calls counted.
struct CallCounts {
    std::atomic<int> closes{0};
    std::atomic<int> waits{0};
    std::atomic<int> mostWaiting{0};   // the largest bytesWaiting result seen
    void reset() { closes = 0; waits = 0; mostWaiting = 0; }
};
extern CallCounts calls;
const SerialPortOps* countingOps();

std::vector<uint8_t> pattern(size_t length, uint8_t seed);

// Polls `condition` under the engine's lock every millisecond for up to `ms`.
struct Engine;
bool waitUntil(Engine& engine, const std::function<bool()>& condition, int ms);

// CPU time this process spent, in milliseconds.
double processCpuMs();

#endif

// The narrow serial-port interface: just what the reader thread, the frame I/O and the line
// speed switch need. Each platform provides one table (comm_posix.cpp, comm_win32.cpp); the
// tests' scripted line is one more.
//
// Thread contract: the reader thread blocks in waitEvent while another thread calls write,
// setEventMask and setSpeed on the same port. A write must never be held back by that wait,
// and setEventMask must release a pending wait (which then reports no events).
#ifndef TARVOLO_TRANSPORT_SERIAL_PORT_H
#define TARVOLO_TRANSPORT_SERIAL_PORT_H

#include <cstdint>

// Port events.
constexpr uint32_t kEventRxChar = 0x0001;   // bytes have arrived
constexpr uint32_t kEventTxEmpty = 0x0004;  // the last byte written has left the driver
constexpr uint32_t kTransportMask = kEventRxChar | kEventTxEmpty;

struct SerialPort;  // platform-specific

struct SerialPortOps {
    // Writes all bytes (blocking until the driver has taken them). False on failure.
    bool (*write)(SerialPort* port, const uint8_t* bytes, uint32_t length);
    // Sets the events waitEvent reports; releases a pending waitEvent.
    void (*setEventMask)(SerialPort* port, uint32_t mask);
    // Waits for events of the mask. True with *events set (possibly 0: nothing happened);
    // false when the wait failed.
    bool (*waitEvent)(SerialPort* port, uint32_t* events);
    // Number of received bytes waiting to be read (clears line errors), or -1 on failure.
    int32_t (*bytesWaiting)(SerialPort* port);
    // Reads up to length waiting bytes without blocking; returns the count or -1.
    int32_t (*read)(SerialPort* port, uint8_t* buffer, uint32_t length);
    // Discards received bytes not yet read, then bytes written and not yet sent.
    void (*purge)(SerialPort* port);
    // Sets the line speed in bits per second (all other settings unchanged).
    void (*setSpeed)(SerialPort* port, uint32_t baud);
    // Closes the port.
    void (*close)(SerialPort* port);
};

#endif

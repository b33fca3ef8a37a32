// Asking a serial driver to hand received bytes on at once. A USB adapter otherwise holds a
// short reply until its latency timer runs out (16 ms on an FTDI), and the protocol waits for
// a short acknowledgement after every block. On Linux the request is the serial flag
// ASYNC_LOW_LATENCY (TIOCGSERIAL/TIOCSSERIAL; ftdi_sio then sets its timer to 1 ms); the port
// puts the flags back as they were when it closes.
//
// The two ioctls are a table the port owns, so a test can see that the port asks, and what
// it puts back. Drivers that refuse (a pty: ENOTTY; EPERM, EINVAL) leave the port as it was:
// the refusal is only noted for the trace. POSIX ports only (comm_posix.cpp).
#ifndef TARVOLO_TRANSPORT_LOW_LATENCY_H
#define TARVOLO_TRANSPORT_LOW_LATENCY_H

#include <string>

#include "transport/serial_port.h"

struct LowLatencyIo {
    // The driver's serial flags into *flags; 0, or the errno of the refusal.
    int (*getFlags)(int fd, int* flags);
    // Sets the serial flags; 0, or the errno of the refusal.
    int (*setFlags)(int fd, int flags);
};

// What an open port holds to put the driver back as it found it.
struct LowLatencyHold {
    bool changed = false;
    int previousFlags = 0;
    std::string note;  // what became of the request, for the trace
};

// The system's ioctls (low_latency_linux.cpp).
const LowLatencyIo& systemLowLatencyIo();

// Sets the low-latency flag unless it is set already. Never fails: a refusal is noted.
LowLatencyHold requestLowLatency(int fd, const LowLatencyIo& io);
// Puts back the flags the request found, when it changed them.
void restoreLowLatency(int fd, const LowLatencyHold& hold, const LowLatencyIo& io);

// openSerialPort (port_open.h) with the ioctls given: the tests' way in.
SerialPort* openSerialPortWith(const char* name, const LowLatencyIo& io, std::string* error);

#endif

// Opening serial ports by name. One platform file each (comm_posix.cpp, comm_win32.cpp).
// Finding which ports the machine has is port_discovery.h's business.
#ifndef TARVOLO_TRANSPORT_PORT_OPEN_H
#define TARVOLO_TRANSPORT_PORT_OPEN_H

#include <string>

#include "transport/serial_port.h"

// The port operations of this platform.
const SerialPortOps* platformPortOps();

// Opens a port with the standard line settings (19200 baud, 8 data bits, no parity, one stop
// bit, no flow control, DTR and RTS off). `name` is "COM1".."COM4" or, on POSIX, a device
// path; on Windows any "COMn". Returns nullptr with a readable reason in *error when it cannot.
SerialPort* openSerialPort(const char* name, std::string* error);

// What became of asking the driver for low latency when the port was opened, for a trace
// ("low latency: ASYNC_LOW_LATENCY set", or why not); empty where there is nothing to ask.
std::string portLatencyNote(const SerialPort* port);

// Whether the port can be opened just now: opens it as openSerialPort would, without
// touching its settings, and closes it at once. False with the reason alone (no port name,
// e.g. "in use by another program") in *reason.
bool probeSerialPort(const std::string& name, std::string* reason);

// The platform's device behind a port name: on POSIX "COM1".."COM4" are /dev/ttyS0..3 and
// anything else is a path; on Windows "COMn" is "\\.\COMn", and "" when the name is not a COM
// port's.
std::string portDevicePath(const std::string& name);

#endif

// Opening serial ports by name, and listing the machine's ports. One platform file each.
#ifndef TARVOLO_TRANSPORT_PORT_OPEN_H
#define TARVOLO_TRANSPORT_PORT_OPEN_H

#include <string>
#include <vector>

#include "transport/serial_port.h"

// The port operations of this platform.
const SerialPortOps* platformPortOps();

// Opens a port with the standard line settings (19200 baud, 8 data bits, no parity, one stop
// bit, no flow control, DTR and RTS off). `name` is "COM1".."COM4" or, on POSIX, a device
// path. Returns nullptr with a readable reason in *error when it cannot.
SerialPort* openSerialPort(const char* name, std::string* error);

struct PortInfo {
    std::string name;   // what --port takes
    bool canOpen;       // could be opened just now
    std::string note;   // why not, when it cannot
};

// The serial ports of the machine, each tried once.
std::vector<PortInfo> listSerialPorts();

#endif

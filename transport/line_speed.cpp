// Allowed speeds and the mid-download speed switch (see line_speed.h).
#include "transport/line_speed.h"

#include "transport/frame_io.h"

uint32_t isAllowedSpeed(uint32_t speed)
{
    switch (speed) {
    case 19200:
    case 38400:
    case 57600:
    case 115200:
        return speed;
    default:
        return 0;
    }
}

void switchLineSpeed(FrameIo& io, uint32_t speed)
{
    if (!io.running())
        return;
    const SerialPortOps* ops = io.ops();
    SerialPort* port = io.port();
    if (!ops || !port)
        return;
    ops->purge(port);
    ops->setEventMask(port, 0);
    const uint32_t baud = (speed == 38400 || speed == 57600 || speed == 115200) ? speed : 19200;
    ops->setSpeed(port, baud);
    ops->setEventMask(port, kTransportMask);
}

// What the reader thread hands a line's events to: whoever opened the line (the download
// engine). The transport declares it so that it never has to know what the bytes mean.
#ifndef TARVOLO_TRANSPORT_LINE_EVENTS_H
#define TARVOLO_TRANSPORT_LINE_EVENTS_H

#include <cstdint>

#include "transport/serial_port.h"

class LineEvents {
public:
    // Reader thread: the frame last written has left the driver.
    virtual void lineTxEmpty() = 0;
    // Reader thread: n bytes were read from the line, in the order they came.
    virtual void lineBytes(const uint8_t* bytes, uint32_t n) = 0;
    // Reader thread, just before it closes `port`: from here on nothing may write to it.
    virtual void lineClosing(SerialPort* port) = 0;

protected:
    ~LineEvents() = default;
};

#endif

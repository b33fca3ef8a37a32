// A line that notes when the handset last spoke (see heard_line.h).
#include "station/heard_line.h"

using Clock = std::chrono::steady_clock;

const SerialPortOps HeardLine::kOps = {write,        setEventMask, waitEvent, bytesWaiting,
                                       HeardLine::read, purge,     setSpeed,  HeardLine::close};

HeardLine::HeardLine(const SerialPortOps* ops, SerialPort* port)
    : ops_(ops), port_(port), lastHeard_(Clock::now().time_since_epoch().count())
{
}

// The engine never looks inside a SerialPort: it only hands the pointer back to the table's
// functions, which turn it back into the HeardLine it is.
DownloadLine HeardLine::line() { return {&kOps, reinterpret_cast<SerialPort*>(this)}; }

HeardLine* HeardLine::of(SerialPort* port) { return reinterpret_cast<HeardLine*>(port); }

Clock::time_point HeardLine::lastHeard() const
{
    return Clock::time_point(Clock::duration(lastHeard_.load()));
}

bool HeardLine::write(SerialPort* port, const uint8_t* bytes, uint32_t length)
{
    return of(port)->ops_->write(of(port)->port_, bytes, length);
}

void HeardLine::setEventMask(SerialPort* port, uint32_t mask)
{
    of(port)->ops_->setEventMask(of(port)->port_, mask);
}

bool HeardLine::waitEvent(SerialPort* port, uint32_t* events)
{
    return of(port)->ops_->waitEvent(of(port)->port_, events);
}

int32_t HeardLine::bytesWaiting(SerialPort* port)
{
    return of(port)->ops_->bytesWaiting(of(port)->port_);
}

int32_t HeardLine::read(SerialPort* port, uint8_t* buffer, uint32_t length)
{
    const int32_t got = of(port)->ops_->read(of(port)->port_, buffer, length);
    if (got > 0)
        of(port)->lastHeard_.store(Clock::now().time_since_epoch().count());
    return got;
}

void HeardLine::purge(SerialPort* port) { of(port)->ops_->purge(of(port)->port_); }

void HeardLine::setSpeed(SerialPort* port, uint32_t baud) { of(port)->ops_->setSpeed(of(port)->port_, baud); }

void HeardLine::close(SerialPort* port) { of(port)->ops_->close(of(port)->port_); }

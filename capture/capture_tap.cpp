// Watching the line for a capture (see capture_tap.h).
#include "capture/capture_tap.h"

// As in the text trace: the engine only hands the pointer back to these functions.
struct CaptureTap::Ops {
    static CaptureTap& of(SerialPort* port) { return *reinterpret_cast<CaptureTap*>(port); }
    static const SerialPortOps& below(SerialPort* port) { return *of(port).below_.ops; }
    static SerialPort* belowPort(SerialPort* port) { return of(port).below_.port; }

    // Recorded after the write, timed when it began: recording must not hold a frame back.
    static bool write(SerialPort* port, const uint8_t* bytes, uint32_t length)
    {
        CaptureTap& t = of(port);
        const bool ok = below(port).write(belowPort(port), bytes, length);
        if (t.recorder_) {
            if (!ok)
                t.recorder_->note("write failed");
            t.recorder_->chunk(true, bytes, length);
        }
        return ok;
    }
    static int32_t read(SerialPort* port, uint8_t* buffer, uint32_t length)
    {
        const int32_t n = below(port).read(belowPort(port), buffer, length);
        if (n > 0 && of(port).recorder_)
            of(port).recorder_->chunk(false, buffer, static_cast<uint32_t>(n));
        return n;
    }
    static void setSpeed(SerialPort* port, uint32_t baud)
    {
        if (of(port).recorder_)
            of(port).recorder_->lineSpeed(baud);
        below(port).setSpeed(belowPort(port), baud);
    }
    static void purge(SerialPort* port)
    {
        if (of(port).recorder_)
            of(port).recorder_->note("purge");
        below(port).purge(belowPort(port));
    }
    static void setEventMask(SerialPort* port, uint32_t mask) { below(port).setEventMask(belowPort(port), mask); }
    static bool waitEvent(SerialPort* port, uint32_t* events) { return below(port).waitEvent(belowPort(port), events); }
    static int32_t bytesWaiting(SerialPort* port) { return below(port).bytesWaiting(belowPort(port)); }
    static void close(SerialPort* port) { below(port).close(belowPort(port)); }

    static const SerialPortOps kTable;
};

const SerialPortOps CaptureTap::Ops::kTable = {write, setEventMask, waitEvent, bytesWaiting,
                                               read,  purge,        setSpeed,  close};

DownloadLine CaptureTap::line() { return {&Ops::kTable, reinterpret_cast<SerialPort*>(this)}; }

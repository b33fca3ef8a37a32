// Watching the line (see line_trace.h).
#include "cli/line_trace.h"

#include <string>

// The engine never looks inside a SerialPort: it only hands the pointer back to these
// functions, which turn it back into the LineTrace it is.
struct LineTrace::Ops {
    static LineTrace& of(SerialPort* port) { return *reinterpret_cast<LineTrace*>(port); }

    // The line is written after the bytes, with the time the write began: tracing must not
    // hold a frame back. (A byte received meanwhile may therefore be listed just before it.)
    static bool write(SerialPort* port, const uint8_t* bytes, uint32_t length)
    {
        LineTrace& t = of(port);
        const double began = t.tracing() ? t.secondsSinceStart() : 0.0;
        const uint32_t lineSpeed = t.speed_.load();
        const bool ok = t.real_->write(t.port_, bytes, length);
        if (t.tracing())
            t.trace(began, lineSpeed, "TX", bytes, length);
        if (!ok)
            t.note("write failed");
        return ok;
    }

    static int32_t read(SerialPort* port, uint8_t* buffer, uint32_t length)
    {
        LineTrace& t = of(port);
        const int32_t n = t.real_->read(t.port_, buffer, length);
        if (n > 0 && t.tracing())
            t.trace(t.secondsSinceStart(), t.speed_.load(), "RX", buffer, static_cast<uint32_t>(n));
        return n;
    }

    static void setSpeed(SerialPort* port, uint32_t baud)
    {
        LineTrace& t = of(port);
        t.speed_ = baud;
        char note[48];
        std::snprintf(note, sizeof note, "line speed %u", static_cast<unsigned>(baud));
        t.note(note);
        t.real_->setSpeed(t.port_, baud);
    }

    static void purge(SerialPort* port)
    {
        of(port).note("purge");
        of(port).real_->purge(of(port).port_);
    }

    static void setEventMask(SerialPort* port, uint32_t mask)
    {
        of(port).real_->setEventMask(of(port).port_, mask);
    }
    static bool waitEvent(SerialPort* port, uint32_t* events)
    {
        return of(port).real_->waitEvent(of(port).port_, events);
    }
    static int32_t bytesWaiting(SerialPort* port)
    {
        return of(port).real_->bytesWaiting(of(port).port_);
    }
    static void close(SerialPort* port) { of(port).real_->close(of(port).port_); }

    static const SerialPortOps kTable;
};

const SerialPortOps LineTrace::Ops::kTable = {write, setEventMask, waitEvent, bytesWaiting,
                                              read,  purge,        setSpeed,  close};

double LineTrace::secondsSinceStart() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

// One line: the time, the direction, the line speed and the bytes in hex. Formatted with a
// table into one buffer: a frame of a thousand bytes takes microseconds, not the fraction of
// a millisecond that a formatted print per byte costs.
void LineTrace::trace(double seconds, uint32_t lineSpeed, const char* direction,
                      const uint8_t* bytes, uint32_t length)
{
    static const char kHex[] = "0123456789ABCDEF";
    if (length == 0)
        return;
    char head[48];
    const int headLength = std::snprintf(head, sizeof head, "%10.6f %s %6u", seconds, direction,
                                         static_cast<unsigned>(lineSpeed));
    std::string line(head, static_cast<size_t>(headLength > 0 ? headLength : 0));
    line.reserve(line.size() + 3 * static_cast<size_t>(length) + 1);
    for (uint32_t i = 0; i < length; ++i) {
        line += ' ';
        line += kHex[bytes[i] >> 4];
        line += kHex[bytes[i] & 0x0F];
    }
    line += '\n';
    std::lock_guard<std::mutex> guard(mutex_);
    if (file_ && std::fwrite(line.data(), 1, line.size(), file_) != line.size())
        lost_ = true;
}

void LineTrace::note(const char* text)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_)
        return;
    if (std::fprintf(file_, "%10.6f -- %s\n", secondsSinceStart(), text) < 0)
        lost_ = true;
}

bool LineTrace::start(const SerialPortOps* real, SerialPort* port, const std::string& tracePath,
                      std::string* error)
{
    real_ = real;
    port_ = port;
    speed_ = 19200;
    if (tracePath.empty())
        return true;
    std::lock_guard<std::mutex> guard(mutex_);
    file_ = std::fopen(tracePath.c_str(), "w");
    if (!file_) {
        *error = "cannot write the trace file " + tracePath;
        return false;
    }
    start_ = std::chrono::steady_clock::now();
    lost_ = std::fprintf(file_, "# seconds dir speed bytes (hex)\n") < 0;
    open_ = true;
    return true;
}

DownloadLine LineTrace::line() { return {&Ops::kTable, reinterpret_cast<SerialPort*>(this)}; }

bool LineTrace::stop()
{
    open_ = false;
    std::lock_guard<std::mutex> guard(mutex_);
    if (file_) {
        // Buffered lines reach the disk only here: a full disk shows at the latest now.
        const bool failed = std::ferror(file_) != 0;
        if (std::fclose(file_) != 0 || failed)
            lost_ = true;
        file_ = nullptr;
    }
    return !lost_;
}

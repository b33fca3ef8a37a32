// Test support for the transport tests (see pty_line.h).
#include "tests/transport/pty_line.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "engine/engine_state.h"
#include "engine/handler_slots.h"
#include "transport/port_open.h"

PtyLine::PtyLine()
{
    int slave = -1;
    char name[128] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios raw;
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    ::close(slave);
    slavePath_ = name;
}

PtyLine::~PtyLine() { closeMaster(); }

void PtyLine::send(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("pty write failed");
        done += static_cast<size_t>(n);
    }
}

std::vector<uint8_t> PtyLine::receive(size_t want, int waitMs)
{
    std::vector<uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (got.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now()).count();
        pollfd fd = {master_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0)
            break;
        uint8_t buffer[4096];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

void PtyLine::closeMaster()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

uint32_t PtyLine::slaveSpeed() const
{
    termios settings;
    tcgetattr(master_, &settings);   // on a pty master this reads the slave's settings
    switch (cfgetospeed(&settings)) {
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

CallCounts calls;

namespace {

bool countedWait(SerialPort* port, uint32_t* events)
{
    ++calls.waits;
    return platformPortOps()->waitEvent(port, events);
}

int32_t countedBytesWaiting(SerialPort* port)
{
    const int32_t waiting = platformPortOps()->bytesWaiting(port);
    int seen = calls.mostWaiting.load();
    while (waiting > seen && !calls.mostWaiting.compare_exchange_weak(seen, waiting)) {
    }
    return waiting;
}

void countedClose(SerialPort* port)
{
    ++calls.closes;
    platformPortOps()->close(port);
}

SerialPortOps makeCounting()
{
    SerialPortOps table = *platformPortOps();
    table.waitEvent = countedWait;
    table.bytesWaiting = countedBytesWaiting;
    table.close = countedClose;
    return table;
}

}  // namespace

const SerialPortOps* countingOps()
{
    static const SerialPortOps counting = makeCounting();
    return &counting;
}

std::vector<uint8_t> pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}

bool waitUntil(Engine& engine, const std::function<bool()>& condition, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        {
            EngineLock lock(engine);
            if (condition())
                return true;
        }
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

double processCpuMs()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// The low-latency request on Linux (see low_latency.h).
#include "transport/low_latency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace {

int systemGetFlags(int fd, int* flags)
{
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0)
        return errno;
    *flags = info.flags;
    return 0;
}

// Read, change and write back the whole structure: TIOCSSERIAL takes every field of it.
int systemSetFlags(int fd, int flags)
{
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0)
        return errno;
    info.flags = flags;
    return ioctl(fd, TIOCSSERIAL, &info) == 0 ? 0 : errno;
}

const LowLatencyIo kSystemIo = {systemGetFlags, systemSetFlags};

std::string refusal(const char* what, int error)
{
    return std::string("low latency not requested: the driver refused ") + what + " (" +
           std::strerror(error) + ")";
}

}  // namespace

const LowLatencyIo& systemLowLatencyIo() { return kSystemIo; }

LowLatencyHold requestLowLatency(int fd, const LowLatencyIo& io)
{
    LowLatencyHold hold;
    int flags = 0;
    if (const int error = io.getFlags(fd, &flags)) {
        hold.note = refusal("TIOCGSERIAL", error);
        return hold;
    }
    if (flags & ASYNC_LOW_LATENCY) {
        hold.note = "low latency: already set";
        return hold;
    }
    if (const int error = io.setFlags(fd, flags | ASYNC_LOW_LATENCY)) {
        hold.note = refusal("TIOCSSERIAL", error);
        return hold;
    }
    hold.changed = true;
    hold.previousFlags = flags;
    hold.note = "low latency: ASYNC_LOW_LATENCY set";
    return hold;
}

void restoreLowLatency(int fd, const LowLatencyHold& hold, const LowLatencyIo& io)
{
    if (hold.changed)
        io.setFlags(fd, hold.previousFlags);  // nothing to do when the driver refuses now
}

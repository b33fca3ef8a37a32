// Serial ports on POSIX systems (termios): the port operations, and opening a port with the
// standard line settings.
//
// The descriptor stays non-blocking, so that no call can hang: reads take what is there and
// writes wait for room with a bounded poll. The reader's wait polls the port together with a
// wake-up pipe, which setEventMask and write signal from any thread; transmit-empty is found
// by asking the driver how many written bytes it still holds. The driver is asked for low
// latency while the port is open (low_latency.h).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "transport/low_latency.h"
#include "transport/port_open.h"
#include "transport/reader_platform.h"

struct SerialPort {
    int fd = -1;
    int wakeRead = -1;   // the wake-up pipe: readable when the reader's wait must return
    int wakeWrite = -1;
    std::atomic<uint32_t> mask{0};
    std::atomic<bool> txPending{false};  // bytes were written and their transmit-empty not reported
    std::atomic<int> writing{0};         // writes still returning: their transmit-empty is to come
    const LowLatencyIo* latencyIo = nullptr;
    LowLatencyHold latency;              // what to put back at close
};

namespace {

// A write that makes no progress for this long has failed: the peer is not reading (a pty
// whose other side is gone or stuck). A real line at 19200 baud never stalls this long.
constexpr int kWriteStallMs = 1000;
// While written bytes are still in the driver, how often the wait asks whether they left.
constexpr int kTxPollMs = 1;

void signalWake(SerialPort* port)
{
    const char one = 1;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    ssize_t ignored = ::write(port->wakeWrite, &one, 1);
    (void)ignored;
}

void drainWake(SerialPort* port)
{
    char sink[64];
    while (::read(port->wakeRead, sink, sizeof sink) > 0) {
    }
}

// True when every byte written has left the driver (and, where the UART says so, the
// shift register). Ports that cannot tell are taken as drained once the bytes were taken.
bool outputDrained(SerialPort* port)
{
    int queued = 0;
    if (ioctl(port->fd, TIOCOUTQ, &queued) == 0 && queued > 0)
        return false;
#ifdef TIOCSERGETLSR
    unsigned int lsr = 0;
    if (ioctl(port->fd, TIOCSERGETLSR, &lsr) == 0 && !(lsr & TIOCSER_TEMT))
        return false;
#endif
    return true;
}

bool writeAll(SerialPort* port, const uint8_t* bytes, uint32_t length)
{
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(port->fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        pollfd room = {port->fd, POLLOUT, 0};
        const int r = ::poll(&room, 1, kWriteStallMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || (room.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return false;
    }
    return true;
}

bool portWrite(SerialPort* port, const uint8_t* bytes, uint32_t length)
{
    port->writing.fetch_add(1);
    const bool ok = writeAll(port, bytes, length);
    if (ok)
        port->txPending.store(true);
    port->writing.fetch_sub(1);
    if (ok)
        signalWake(port);  // the reader may be waiting without watching the output
    return ok;
}

// A peer that answers at once (a pty) can answer while the write of its frame is still
// returning, before that frame's transmit-empty can be found. Waits for such writes, at most
// as long as a write may stall.
void awaitWrites(SerialPort* port)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteStallMs);
    while (port->writing.load() > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
}

void portSetEventMask(SerialPort* port, uint32_t mask)
{
    port->mask.store(mask);
    signalWake(port);
}

// Transmit-empty, when the mask asks for it and written bytes have left the driver.
uint32_t takeTxEmpty(SerialPort* port, uint32_t mask)
{
    if (!(mask & kEventTxEmpty) || !port->txPending.load() || !outputDrained(port))
        return 0;
    port->txPending.store(false);
    return kEventTxEmpty;
}

bool portWaitEvent(SerialPort* port, uint32_t* events)
{
    for (;;) {
        const uint32_t mask = port->mask.load();
        uint32_t found = takeTxEmpty(port, mask);
        const bool watchTx = (mask & kEventTxEmpty) && port->txPending.load();
        pollfd fds[2] = {{port->wakeRead, POLLIN, 0},
                         {port->fd, static_cast<short>((mask & kEventRxChar) ? POLLIN : 0), 0}};
        const int timeout = found ? 0 : (watchTx ? kTxPollMs : -1);
        const int r = ::poll(fds, 2, timeout);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return false;
        if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL))
            return false;  // the device has gone (a USB adapter pulled, a pty's peer closed)
        if (fds[1].revents & POLLIN) {
            found |= kEventRxChar;
            // An answer can only come once its frame has left: report the transmit-empty
            // with it, so that it is handled first and the answer is not drained as if it
            // had come while the frame was still on its way.
            awaitWrites(port);
            found |= takeTxEmpty(port, mask);
        }
        if (fds[0].revents & POLLIN) {
            drainWake(port);
            *events = found;  // a mask change or a write: let the caller look again
            return true;
        }
        if (found) {
            *events = found;
            return true;
        }
    }
}

int32_t portBytesWaiting(SerialPort* port)
{
    int waiting = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0)
        return -1;
    return waiting;
}

int32_t portRead(SerialPort* port, uint8_t* buffer, uint32_t length)
{
    for (;;) {
        const ssize_t n = ::read(port->fd, buffer, length);
        if (n >= 0)
            return static_cast<int32_t>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

void portPurge(SerialPort* port)
{
    tcflush(port->fd, TCIFLUSH);
    tcflush(port->fd, TCOFLUSH);
}

speed_t speedCode(uint32_t baud)
{
    switch (baud) {
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B19200;
    }
}

void portSetSpeed(SerialPort* port, uint32_t baud)
{
    termios settings;
    if (tcgetattr(port->fd, &settings) != 0)
        return;
    cfsetispeed(&settings, speedCode(baud));
    cfsetospeed(&settings, speedCode(baud));
    tcsetattr(port->fd, TCSANOW, &settings);
}

void portClose(SerialPort* port)
{
    restoreLowLatency(port->fd, port->latency, *port->latencyIo);
    ioctl(port->fd, TIOCNXCL);  // a pty's peer may keep the device open: let the next tool in
    ::close(port->fd);
    ::close(port->wakeRead);
    ::close(port->wakeWrite);
    delete port;
}

const SerialPortOps posixOps = {portWrite, portSetEventMask, portWaitEvent, portBytesWaiting,
                                portRead,  portPurge,        portSetSpeed,  portClose};

std::string openFailure(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return "no such serial port";
    case EACCES: return "permission denied (is the user in the dialout group?)";
    case EBUSY: return "in use by another program";
    case EIO: return "no device answers behind this port";
    default: return std::strerror(error);
    }
}

// How a port is named in messages: "COM1 (/dev/ttyS0)", or just the path.
std::string portLabel(const std::string& name)
{
    const std::string path = portDevicePath(name);
    return path == name ? name : name + " (" + path + ")";
}

// Opens the device and takes it for this tool alone. Returns the descriptor, or -1 with the
// reason (without the port's name) in *why.
int openExclusive(const std::string& name, std::string* why)
{
    const int fd = ::open(portDevicePath(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = openFailure(errno);
        return -1;
    }
    termios probe;
    if (!isatty(fd) || tcgetattr(fd, &probe) != 0) {
        const int error = errno;
        ::close(fd);
        *why = error == EIO ? openFailure(EIO) : "not a serial port (not a terminal device)";
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        *why = openFailure(EBUSY);
        return -1;
    }
    ioctl(fd, TIOCEXCL);  // keeps out tools that do not lock; refused on some devices
    return fd;
}

// 19200 baud, 8 data bits, no parity, one stop bit, raw, no flow control, DTR and RTS off.
bool applyStandardLineSettings(int fd)
{
    termios settings;
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B19200);
    cfsetospeed(&settings, B19200);
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return false;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);  // a pty has no modem lines: failure is expected there
    return true;
}

bool makeWakePipe(SerialPort* port)
{
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    for (int end : ends) {
        fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
        fcntl(end, F_SETFD, FD_CLOEXEC);
    }
    port->wakeRead = ends[0];
    port->wakeWrite = ends[1];
    return true;
}

}  // namespace

const SerialPortOps* platformPortOps() { return &posixOps; }

SerialPort* openSerialPort(const char* name, std::string* error)
{
    return openSerialPortWith(name, systemLowLatencyIo(), error);
}

std::string portLatencyNote(const SerialPort* port) { return port->latency.note; }

SerialPort* openSerialPortWith(const char* name, const LowLatencyIo& io, std::string* error)
{
    std::string reason;
    const std::string given = name ? name : "";
    const int fd = openExclusive(given, &reason);
    if (fd < 0) {
        if (error)
            *error = portLabel(given) + ": " + reason;
        return nullptr;
    }
    auto* port = new SerialPort;
    port->fd = fd;
    if (!applyStandardLineSettings(fd) || !makeWakePipe(port)) {
        if (error)
            *error = portLabel(given) + ": the line settings could not be applied";
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        delete port;
        return nullptr;
    }
    port->latencyIo = &io;
    port->latency = requestLowLatency(fd, io);
    return port;
}

bool probeSerialPort(const std::string& name, std::string* reason)
{
    std::string why;
    const int fd = openExclusive(name, &why);
    if (fd < 0) {
        if (reason)
            *reason = why;
        return false;
    }
    ioctl(fd, TIOCNXCL);
    ::close(fd);
    return true;
}

// "COM1".."COM4" name the first four UARTs; anything else is taken as a device path.
std::string portDevicePath(const std::string& name)
{
    if (name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0) &&
        name[3] >= '1' && name[3] <= '4')
        return std::string("/dev/ttyS") + static_cast<char>(name[3] - 1);
    return name;
}

// The reader keeps the default priority here: raising it needs privileges, and a real-time
// reader that busy-waits (the engine's pauses do) could starve the rest of the machine.
void raiseReaderPriority() {}

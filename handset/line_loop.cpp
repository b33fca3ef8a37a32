// The pty event loop (see line_loop.h). One thread: ppoll waits for the host's bytes, the
// next answer byte's time or the machine's next deadline, whichever comes first.
#include "handset/line_loop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>

#include "handset/adapter_hold.h"

namespace {

int64_t monotonicUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Answers on their way: each byte leaves the handset once its line time has passed, then
// passes the adapter (which may hold it) to the pty.
class PacedWriter {
public:
    explicit PacedWriter(double adapterLatencyMs) : adapter_(adapterLatencyMs) {}
    void add(std::vector<Transmission> more)
    {
        for (Transmission& t : more)
            queue_.push_back(std::move(t));
    }
    bool empty() const { return queue_.empty() && adapter_.empty(); }
    void clear()
    {
        queue_.clear();
        sent_ = 0;
        adapter_.clear();
    }
    // When the next byte is due; INT64_MAX when nothing waits.
    int64_t nextDueUs() const
    {
        if (queue_.empty())
            return adapter_.nextDueUs();
        const Transmission& t = queue_.front();
        return std::min(adapter_.nextDueUs(), t.startUs + lineTimeUs(static_cast<int64_t>(sent_ + 1), t.speed));
    }
    // Writes every byte due by nowUs. Returns false on a write error other than a full buffer.
    bool write(int fd, int64_t nowUs)
    {
        toAdapter(nowUs);
        for (size_t waiting = adapter_.release(nowUs); waiting > 0; waiting = adapter_.release(nowUs)) {
            const ssize_t n = ::write(fd, adapter_.released(), waiting);
            if (n <= 0)
                return n == 0 || errno == EAGAIN || errno == EINTR;
            adapter_.consume(static_cast<size_t>(n));
        }
        return true;
    }

private:
    // The bytes whose line time has passed leave the handset.
    void toAdapter(int64_t nowUs)
    {
        while (!queue_.empty()) {
            const Transmission& t = queue_.front();
            // Bytes whose line time has passed: floor((now - start) x speed / 10 bits per byte).
            size_t due = t.bytes.size();
            if (t.speed > 0)
                due = static_cast<size_t>(std::min<int64_t>(
                    static_cast<int64_t>(t.bytes.size()),
                    std::max<int64_t>(0, (nowUs - t.startUs) * t.speed / 10000000)));
            if (due <= sent_)
                return;
            adapter_.add(t.bytes.data() + sent_, due - sent_, nowUs);
            sent_ = due;
            if (sent_ < t.bytes.size())
                return;
            queue_.pop_front();
            sent_ = 0;
        }
    }

    std::deque<Transmission> queue_;
    size_t sent_ = 0;
    AdapterHold adapter_;
};

void printMessages(UnitStream& handsets)
{
    for (const std::string& line : handsets.takeMessages())
        std::fprintf(stderr, "tarvolo-handset: %s\n", line.c_str());
}

// Follows a vanished unit: closes the port once its last answer has left, reopens it when the
// stream wants it back. Returns an error text when the new pty cannot be had.
std::string followPlug(Pty& pty, UnitStream& handsets, PacedWriter& writer, const std::string& link, int64_t nowUs)
{
    if (!handsets.portPlugged() && pty.master >= 0 && writer.empty()) {
        unplugPort(pty, link);
        handsets.portUnplugged(nowUs);
    }
    if (handsets.portPlugged() && pty.master < 0) {
        writer.clear();
        const std::string error = plugPort(pty, link);
        if (!error.empty())
            return error;
        std::fprintf(stderr, "tarvolo-handset: the port is back (adapter plugged in): %s\n", pty.path.c_str());
    }
    return {};
}

timespec timeoutFrom(int64_t nowUs, int64_t deadlineUs)
{
    int64_t wait = deadlineUs == INT64_MAX ? 1000000 : deadlineUs - nowUs;
    wait = std::max<int64_t>(0, std::min<int64_t>(wait, 1000000));
    return timespec{static_cast<time_t>(wait / 1000000), static_cast<long>((wait % 1000000) * 1000)};
}

}  // namespace

std::string runLineLoop(Pty& pty, UnitStream& handsets, const HandsetOptions& options,
                        volatile std::sig_atomic_t& stop)
{
    const int64_t origin = monotonicUs();
    auto now = [origin] { return monotonicUs() - origin; };
    sigset_t waitMask;
    sigprocmask(SIG_SETMASK, nullptr, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGHUP);

    PacedWriter writer(options.adapterLatencyMs);
    int64_t lingerUntil = INT64_MAX;
    uint8_t buffer[4096];
    while (!stop) {
        int64_t t = now();
        writer.add(handsets.poll(t, hostLineSpeed(pty)));
        if (pty.master >= 0 && !writer.write(pty.master, t))
            return std::string("cannot write to the pseudo-terminal: ") + std::strerror(errno);
        printMessages(handsets);
        const std::string error = followPlug(pty, handsets, writer, options.link, t);
        if (!error.empty())
            return error;
        const bool done = handsets.over() && pty.master >= 0 && writer.empty() && !handsets.answersPending();
        if (done && lingerUntil == INT64_MAX) {
            releaseSlave(pty);   // from now on the master hangs up when the host closes
            lingerUntil = t + static_cast<int64_t>(options.lingerMs * 1000);
        }
        if (t >= lingerUntil)
            return {};

        pollfd fd{pty.master, POLLIN, 0};
        const int64_t deadline = std::min({handsets.nextDeadline(), writer.nextDueUs(), lingerUntil});
        const timespec timeout = timeoutFrom(t, deadline);
        const int ready = ppoll(&fd, pty.master >= 0 ? 1 : 0, &timeout, &waitMask);
        if (ready < 0 && errno != EINTR)
            return std::string("cannot wait on the pseudo-terminal: ") + std::strerror(errno);
        if (ready <= 0)
            continue;
        if (fd.revents & POLLIN) {
            const ssize_t n = read(pty.master, buffer, sizeof buffer);
            if (n > 0) {
                const uint32_t speed = hostLineSpeed(pty);
                handsets.noteFraming(hostFramingProblem(pty));
                handsets.receive(buffer, static_cast<size_t>(n), now(), speed);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
                return std::string("cannot read the pseudo-terminal: ") + std::strerror(errno);
        }
        if (fd.revents & (POLLHUP | POLLERR)) {
            if (lingerUntil != INT64_MAX)
                return {};   // the host has closed the port after the last download
            usleep(10000);   // no slave open (cannot happen while the handset holds one)
        }
    }
    return {};
}

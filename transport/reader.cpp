// The reader thread (see reader.h).
//
// One reader thread runs per download. It owns the port from start on: it is the only thread
// that waits on it, reads from it, and in the end purges and closes it. Other threads write
// frames and change the event mask while it waits (the port operations allow that).
//
// The reader holds no lock of the line's owner while it waits on the port; the owner takes
// its own inside each LineEvents call.
#include "transport/reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "transport/frame_io.h"
#include "transport/reader_platform.h"

namespace {

constexpr uint32_t kReaderBufferSize = 100;
// Pause after the second failed wait or read in a row: a port that has gone away fails at
// once, every time, and must not keep a core busy.
constexpr auto kFailurePause = std::chrono::milliseconds(20);
// Failures in a row after which the port counts as gone (about half a second of failing
// waits): one failure may be a line error, a port that fails every time is not coming back.
constexpr int kFailuresUntilLost = 25;

}  // namespace

// One start's reader. Shared by the thread and by stop, so that a late stop never touches a
// port the reader has closed.
struct ReaderRun {
    const SerialPortOps* ops = nullptr;
    SerialPort* port = nullptr;
    std::atomic<bool> stopped{false};
    std::mutex mutex;               // guards portClosed and the port's mask against close
    std::condition_variable wake;   // stop wakes pauses and a port-less reader
    bool portClosed = false;
};

namespace {

// Sleeps up to `pause`, or until the run is stopped.
void pauseUnlessStopped(ReaderRun& run, std::chrono::milliseconds pause)
{
    std::unique_lock<std::mutex> lock(run.mutex);
    run.wake.wait_for(lock, pause, [&] { return run.stopped.load(); });
}

// After a failed wait or read: clear the port's error state and listen again. From the
// second failure in a row on, pause first.
void recover(ReaderRun& run, int failuresInRow)
{
    if (failuresInRow > 1)
        pauseUnlessStopped(run, kFailurePause);
    run.ops->bytesWaiting(run.port);
    run.ops->setEventMask(run.port, kTransportMask);
}

// Reads and delivers `waiting` bytes in passes of the reader buffer, so that more bytes than
// the buffer holds are all delivered, in order, before the next wait. False when a read
// failed. A read that finds fewer bytes (the queue was purged meanwhile) ends the event.
bool deliverWaiting(ReaderRun& run, LineEvents& owner, int32_t waiting)
{
    uint8_t readerBuffer[kReaderBufferSize];
    while (waiting > 0 && !run.stopped.load()) {
        const uint32_t want = std::min<uint32_t>(static_cast<uint32_t>(waiting), kReaderBufferSize);
        const int32_t got = run.ops->read(run.port, readerBuffer, want);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        owner.lineBytes(readerBuffer, static_cast<uint32_t>(got));
        waiting -= got;
    }
    return true;
}

enum class Outcome { Failed, Idle, Handled };

// One pass of the loop: wait, then transmit-empty first, then the bytes.
Outcome handleOneEvent(ReaderRun& run, LineEvents& owner)
{
    uint32_t events = 0;
    if (!run.ops->waitEvent(run.port, &events))
        return Outcome::Failed;
    // Counted before onTxEmpty runs: bytes that arrive while it runs belong to the next event.
    const int32_t waiting = run.ops->bytesWaiting(run.port);
    if (waiting < 0)
        return Outcome::Failed;
    if (events & kEventTxEmpty)
        owner.lineTxEmpty();
    // Bytes already waiting are delivered even when this event did not report them: a
    // mask change may have released the wait just as they arrived, and bytes already queued
    // raise no new event on every platform.
    if (!deliverWaiting(run, owner, waiting))
        return Outcome::Failed;
    return (events != 0 || waiting > 0) ? Outcome::Handled : Outcome::Idle;
}

}  // namespace

// Tells the owner the port is going (it unbinds the frame I/O unless a newer start has bound
// its own), then closes the port. After that no engine handler can write to it.
void Reader::releasePort(ReaderRun& run)
{
    events_.lineClosing(run.port);
    std::lock_guard<std::mutex> lock(run.mutex);
    run.portClosed = true;
    run.ops->close(run.port);
}

void Reader::loop(Reader* reader, std::shared_ptr<ReaderRun> run)
{
    raiseReaderPriority();
    if (!run->port) {
        // The port failed to open: nothing to wait on, so wait for the stop instead.
        std::unique_lock<std::mutex> lock(run->mutex);
        run->wake.wait(lock, [&] { return run->stopped.load(); });
        return;
    }
    run->ops->setEventMask(run->port, kTransportMask);
    // Only a real event proves the port works again: the empty returns that follow a mask
    // change (recovery makes one) must not reset the count, or a dead port would never pause.
    int failuresInRow = 0;
    while (!run->stopped.load()) {
        switch (handleOneEvent(*run, reader->events_)) {
        case Outcome::Handled: failuresInRow = 0; break;
        case Outcome::Idle: break;
        case Outcome::Failed:
            if (++failuresInRow >= kFailuresUntilLost)
                reader->portLost_.store(true);
            recover(*run, failuresInRow);
            break;
        }
    }
    run->ops->purge(run->port);
    reader->releasePort(*run);
}

Reader::~Reader()
{
    stop();
    join();
}

bool Reader::start(const SerialPortOps* ops, SerialPort* port)
{
    // A reader still running belongs to an earlier start: it must be gone before this one
    // binds the line, since it reports to the same owner.
    stop();
    join();
    portLost_.store(false);
    auto run = std::make_shared<ReaderRun>();
    run->ops = ops;
    run->port = port;
    io_.attach(ops, port);
    io_.startCount();
    io_.setRunning(true);

    std::lock_guard<std::mutex> lock(control_);
    try {
        thread_ = std::thread(loop, this, run);
    } catch (const std::system_error&) {
        // Nothing will ever read the port: do not leave it open or the line running.
        io_.setRunning(false);
        io_.attach(nullptr, nullptr);
        if (port)
            ops->close(port);
        return false;
    }
    run_ = run;
    return true;
}

void Reader::stop()
{
    io_.setRunning(false);
    std::shared_ptr<ReaderRun> run;
    {
        std::lock_guard<std::mutex> lock(control_);
        run = run_;
    }
    if (!run)
        return;
    std::lock_guard<std::mutex> lock(run->mutex);
    run->stopped.store(true);
    // Releases a pending wait; the reader then sees the stop and ends by itself.
    if (run->port && !run->portClosed)
        run->ops->setEventMask(run->port, 0);
    run->wake.notify_all();
}

void Reader::join()
{
    std::thread finishing;
    {
        std::lock_guard<std::mutex> lock(control_);
        finishing = std::move(thread_);
    }
    if (finishing.joinable() && finishing.get_id() != std::this_thread::get_id())
        finishing.join();
    else if (finishing.joinable())
        finishing.detach();
}

// The reader thread (see reader.h).
//
// One reader thread runs per download. It owns the port from startReader on: it is the only
// thread that waits on it, reads from it, and in the end purges and closes it. Other threads
// write frames and change the event mask while it waits (the port operations allow that).
//
// The reader never holds the engine lock while it waits on the port; it takes the lock only
// inside dispatchTxEmpty and deliverBytes, and once at the end to unbind the line.
#include "transport/reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/handler_slots.h"
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

// One download's reader. Shared by the thread and by stopReader, so that a late stopReader
// never touches a port the reader has closed.
struct ReaderRun {
    const SerialPortOps* ops = nullptr;
    SerialPort* port = nullptr;
    std::atomic<bool> stopped{false};
    std::mutex mutex;               // guards portClosed and the port's mask against close
    std::condition_variable wake;   // stopReader wakes pauses and a port-less reader
    bool portClosed = false;
};

std::mutex controlMutex;  // guards currentRun and readerThread
std::shared_ptr<ReaderRun> currentRun;
std::thread readerThread;
std::atomic<bool> portLost{false};  // set by the current download's reader

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
bool deliverWaiting(ReaderRun& run, int32_t waiting)
{
    uint8_t readerBuffer[kReaderBufferSize];
    while (waiting > 0 && !run.stopped.load()) {
        const uint32_t want = std::min<uint32_t>(static_cast<uint32_t>(waiting), kReaderBufferSize);
        const int32_t got = run.ops->read(run.port, readerBuffer, want);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        deliverBytes(readerBuffer, static_cast<uint32_t>(got));
        waiting -= got;
    }
    return true;
}

enum class Outcome { Failed, Idle, Handled };

// One pass of the loop: wait, then transmit-empty first, then the bytes.
Outcome handleOneEvent(ReaderRun& run)
{
    uint32_t events = 0;
    if (!run.ops->waitEvent(run.port, &events))
        return Outcome::Failed;
    // Counted before onTxEmpty runs: bytes that arrive while it runs belong to the next event.
    const int32_t waiting = run.ops->bytesWaiting(run.port);
    if (waiting < 0)
        return Outcome::Failed;
    if (events & kEventTxEmpty)
        dispatchTxEmpty();
    // Bytes already waiting are delivered even when this event did not report them: a
    // mask change may have released the wait just as they arrived, and bytes already queued
    // raise no new event on every platform.
    if (!deliverWaiting(run, waiting))
        return Outcome::Failed;
    return (events != 0 || waiting > 0) ? Outcome::Handled : Outcome::Idle;
}

// Unbinds the frame I/O from the port (unless a newer reader has bound its own), then
// closes the port. After the unbinding no engine handler can write to it.
void releasePort(ReaderRun& run)
{
    {
        EngineLock lock;
        if (linePort() == run.port)
            attachLine(nullptr, nullptr);
    }
    std::lock_guard<std::mutex> lock(run.mutex);
    run.portClosed = true;
    run.ops->close(run.port);
}

void readerLoop(std::shared_ptr<ReaderRun> run)
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
        switch (handleOneEvent(*run)) {
        case Outcome::Handled: failuresInRow = 0; break;
        case Outcome::Idle: break;
        case Outcome::Failed:
            if (++failuresInRow >= kFailuresUntilLost)
                portLost.store(true);
            recover(*run, failuresInRow);
            break;
        }
    }
    run->ops->purge(run->port);
    releasePort(*run);
}

}  // namespace

bool startReader(const SerialPortOps* ops, SerialPort* port)
{
    stopReader();  // a reader still running belongs to an earlier download
    portLost.store(false);
    auto run = std::make_shared<ReaderRun>();
    run->ops = ops;
    run->port = port;
    attachLine(ops, port);
    startLineCount();
    setLineRunning(true);

    std::lock_guard<std::mutex> lock(controlMutex);
    if (readerThread.joinable())
        readerThread.detach();  // an earlier reader that was stopped ends by itself
    try {
        readerThread = std::thread(readerLoop, run);
    } catch (const std::system_error&) {
        // Nothing will ever read the port: do not leave it open or the line running.
        setLineRunning(false);
        attachLine(nullptr, nullptr);
        if (port)
            ops->close(port);
        return false;
    }
    currentRun = run;
    return true;
}

void stopReader()
{
    setLineRunning(false);
    std::shared_ptr<ReaderRun> run;
    {
        std::lock_guard<std::mutex> lock(controlMutex);
        run = currentRun;
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

void joinReader()
{
    std::thread finishing;
    {
        std::lock_guard<std::mutex> lock(controlMutex);
        finishing = std::move(readerThread);
    }
    if (finishing.joinable() && finishing.get_id() != std::this_thread::get_id())
        finishing.join();
    else if (finishing.joinable())
        finishing.detach();
}

bool readerLostPort() { return portLost.load(); }

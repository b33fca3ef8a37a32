// The reader thread of one line: waits on the open port's events, tells the line's owner
// (LineEvents) when a frame has left the line and what bytes arrived.
#ifndef TARVOLO_TRANSPORT_READER_H
#define TARVOLO_TRANSPORT_READER_H

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "transport/frame_io.h"
#include "transport/line_events.h"
#include "transport/serial_port.h"

struct ReaderRun;

class Reader {
public:
    // `io` is bound to the port on start; `events` hears of everything the thread sees. Both
    // must outlive the reader (the destructor stops and joins the thread).
    Reader(FrameIo& io, LineEvents& events) : io_(io), events_(events) {}
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Binds the frame I/O to `port`, marks the line running (before the thread exists) and
    // starts the reader thread. A null port (one that failed to open) is allowed: the line
    // then runs with nothing to write to and nothing to read, without spinning. Returns false
    // when the thread could not be created; the port is then closed and the line is not
    // running. A reader of an earlier start is stopped and waited for first.
    bool start(const SerialPortOps* ops, SerialPort* port);

    // Marks the line stopped and releases the reader's wait. Does not wait for the thread: it
    // may be called from inside a handler's synchronous output. The reader thread purges and
    // closes the port itself when it ends, so the port is never released under its feet.
    // Safe to call more than once. Takes plain mutexes: never from a signal handler.
    void stop();

    // True once the port has reported that it is gone (device removed, peer hung up) since
    // the last start. The reader then stops using it and does not spin.
    bool lostPort() const { return portLost_.load(); }

    // Waits until the reader thread of the last start has ended (and the port is closed).
    // Never call it from a handler or a front-end output.
    void join();

private:
    static void loop(Reader* reader, std::shared_ptr<ReaderRun> run);
    void releasePort(ReaderRun& run);

    FrameIo& io_;
    LineEvents& events_;
    std::mutex control_;  // guards run_ and thread_
    std::shared_ptr<ReaderRun> run_;
    std::thread thread_;
    std::atomic<bool> portLost_{false};
};

#endif

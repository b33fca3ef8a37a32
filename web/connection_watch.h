// The page server's deadlines, on a thread of its own: a connection whose request head is not
// in by its deadline (a client trickling a byte at a time), or whose answer is not done by its
// own, has its socket cut, which wakes the connection's thread to close it. The server tells
// the watch of each connection (opened, answering, closed) from its threads; a connection is
// forgotten, under the lock, before its socket is closed, so that a cut never reaches a
// descriptor the system has handed out again.
#ifndef TARVOLO_WEB_CONNECTION_WATCH_H
#define TARVOLO_WEB_CONNECTION_WATCH_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

class ConnectionWatch {
public:
    using Clock = std::chrono::steady_clock;

    // `headTime` from a connection's start to its request head; `answerTime` from the head to
    // the answer's end.
    ConnectionWatch(Clock::duration headTime, Clock::duration answerTime);
    ~ConnectionWatch();  // stops

    // `connection` is the server's key for it; `socket` the platform's handle, widened.
    void opened(const void* connection, std::uintptr_t socket);
    // The head is in: the answer's own deadline, or none (a page's feed lasts while it is open).
    void answering(const void* connection, bool lasting);
    void closed(const void* connection);

    void start();
    // Returns once the watch's thread is done; idempotent.
    void stop();

private:
    struct Watched {
        std::uintptr_t socket;
        Clock::time_point deadline;
    };
    void run();

    const Clock::duration headTime_, answerTime_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<const void*, Watched> watched_;
    bool stopping_ = false;
    std::thread thread_;
};

#endif

// The worker's end of its link to the station: commands in on standard input, events out on
// standard output (worker_messages.h). While the worker has nothing to say it beats once a
// second from its loop, so the station can tell a worker that hangs from one that waits.
//
// The station is the worker's only reason to run: when its end of the pipe closes (the
// station ended or was killed), the line is halted at once from the reading thread, so
// nothing more reaches a handset, and the worker's loop ends.
//
// Threads: a reading thread fills the flags; the worker's main thread takes them and emits.
#ifndef TARVOLO_STATION_WORKER_LINK_H
#define TARVOLO_STATION_WORKER_LINK_H

#include <atomic>
#include <chrono>
#include <memory>
#include <condition_variable>
#include <mutex>

#include "station/worker_messages.h"

class WorkerLink {
public:
    // The worker's link, reading standard input from now on. Its reading thread shares it and
    // may stay blocked in a read until the process ends, so the link lives as long as either
    // the caller or that thread holds it. One per process: standard input is read once.
    static std::shared_ptr<WorkerLink> open();

    WorkerLink(const WorkerLink&) = delete;
    WorkerLink& operator=(const WorkerLink&) = delete;

    // Sends one event line; false once the station can no longer be reached.
    bool emit(const WorkerEvent& event);
    // A beat when nothing has been sent for a while. The worker's loops call it (wait does):
    // only a loop that turns beats.
    void beat();

    bool stationGone() const { return gone_.load(); }
    bool stopAsked() const { return stop_.load() || gone_.load(); }
    // Takes one "arm" if the station has given one.
    bool takeArm();
    // Takes the "go" if the station has given it.
    bool takeGo() { return go_.exchange(false); }

    // Waits up to `timeout` or until something arrives (a command, or poke()).
    void wait(std::chrono::milliseconds timeout);
    // Wakes wait() (the session's outputs call it).
    void poke();

private:
    WorkerLink() = default;
    void readCommands();

    std::atomic<bool> gone_{false};
    std::atomic<bool> stop_{false};
    std::atomic<int> arms_{0};
    std::atomic<bool> go_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool poked_ = false;
    std::chrono::steady_clock::time_point lastSent_{};  // main thread only
};

#endif

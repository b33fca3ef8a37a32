// The station's side of one worker: the child process and the thread that reads its event
// lines into the station's queue (with an "ended" message when its output closes).
#ifndef TARVOLO_STATION_WORKER_PROCESS_H
#define TARVOLO_STATION_WORKER_PROCESS_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/child_process.h"

struct WorkerMessage {
    size_t port;        // index of the station's port
    bool ended;         // the worker's output closed (it exited or was killed)
    std::string line;   // one event line otherwise
};

// Every worker's lines, in the order they arrived. Any thread pushes; the main thread takes.
class WorkerMessages {
public:
    void push(WorkerMessage message);
    // Waits up to `timeout` for messages; returns those queued (possibly none).
    std::vector<WorkerMessage> take(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<WorkerMessage> queue_;
};

class WorkerProcess {
public:
    WorkerProcess(size_t port, WorkerMessages& messages) : port_(port), messages_(messages) {}
    // Kills the child if it still runs, and waits for it and for its reading thread.
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    bool start(const std::vector<std::string>& argv, const std::string& errorFile,
               std::string* error);
    bool send(const std::string& command) { return child_.writeLine(command); }
    void kill() { child_.kill(); }
    // After its "ended" message: waits for the child and returns its exit code.
    int finish();

private:
    size_t port_;
    WorkerMessages& messages_;
    ChildProcess child_;
    std::thread reader_;
};

#endif

// The station's side of a worker (see worker_process.h).
#include "station/worker_process.h"

void WorkerMessages::push(WorkerMessage message)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(message));
    }
    arrived_.notify_one();
}

std::vector<WorkerMessage> WorkerMessages::take(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
    std::vector<WorkerMessage> taken(std::make_move_iterator(queue_.begin()),
                                     std::make_move_iterator(queue_.end()));
    queue_.clear();
    return taken;
}

WorkerProcess::~WorkerProcess()
{
    child_.kill();
    finish();
}

bool WorkerProcess::start(const std::vector<std::string>& argv, const std::string& errorFile,
                          std::string* error)
{
    if (!child_.start(argv, errorFile, error))
        return false;
    reader_ = std::thread([this] {
        std::string line;
        while (child_.readLine(&line))
            messages_.push({port_, false, line});
        messages_.push({port_, true, {}});
    });
    return true;
}

int WorkerProcess::finish()
{
    if (reader_.joinable())
        reader_.join();
    child_.closeInput();
    return child_.wait();
}

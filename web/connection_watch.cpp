// The page server's deadlines (connection_watch.h).
#include "web/connection_watch.h"

#include "web/listen_socket.h"
#include "web/thread_name.h"

namespace {

// How late past its deadline a connection may be cut.
constexpr auto kWatchPeriod = std::chrono::milliseconds(250);

}  // namespace

ConnectionWatch::ConnectionWatch(Clock::duration headTime, Clock::duration answerTime)
    : headTime_(headTime), answerTime_(answerTime)
{
}

ConnectionWatch::~ConnectionWatch() { stop(); }

void ConnectionWatch::opened(const void* connection, std::uintptr_t socket)
{
    std::lock_guard<std::mutex> lock(mutex_);
    watched_[connection] = {socket, Clock::now() + headTime_};
}

void ConnectionWatch::answering(const void* connection, bool lasting)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (const auto it = watched_.find(connection); it != watched_.end())
        it->second.deadline = lasting ? Clock::time_point::max() : Clock::now() + answerTime_;
}

void ConnectionWatch::closed(const void* connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    watched_.erase(connection);
}

void ConnectionWatch::start()
{
    thread_ = std::thread([this] {
        nameThisThread("tarvolo-web");
        run();
    });
}

void ConnectionWatch::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void ConnectionWatch::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kWatchPeriod, [this] { return stopping_; })) {
        const auto now = Clock::now();
        for (auto& [connection, w] : watched_)
            if (w.deadline <= now) {
                cutConnection(w.socket);
                w.deadline = Clock::time_point::max();  // once
            }
    }
}

// The worker's link to the station (see worker_link.h).
#include "station/worker_link.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "session/session.h"

namespace {

constexpr auto kBeatPeriod = std::chrono::seconds(1);

}  // namespace

std::shared_ptr<WorkerLink> WorkerLink::open()
{
    std::shared_ptr<WorkerLink> link(new WorkerLink);
    std::thread([link] { link->readCommands(); }).detach();
    return link;
}

void WorkerLink::readCommands()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        WorkerCommand command;
        if (!parseWorkerCommand(line, &command))
            continue;
        if (command == WorkerCommand::Arm)
            ++arms_;
        else if (command == WorkerCommand::Go)
            go_.store(true);
        else
            stop_.store(true);
        poke();
    }
    // The station is gone: nothing more may reach the line, whatever the main thread is doing.
    DownloadSession::haltNow();
    gone_.store(true);
    poke();
}

bool WorkerLink::emit(const WorkerEvent& event)
{
    lastSent_ = std::chrono::steady_clock::now();
    const std::string line = workerEventLine(event);
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
        gone_.store(true);
        return false;
    }
    return true;
}

bool WorkerLink::takeArm()
{
    int arms = arms_.load();
    while (arms > 0) {
        if (arms_.compare_exchange_weak(arms, arms - 1))
            return true;
    }
    return false;
}

void WorkerLink::beat()
{
    if (std::chrono::steady_clock::now() - lastSent_ >= kBeatPeriod)
        emit(BeatEvent{});
}

void WorkerLink::wait(std::chrono::milliseconds timeout)
{
    beat();
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, timeout, [this] { return poked_; });
    poked_ = false;
}

void WorkerLink::poke()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        poked_ = true;
    }
    wake_.notify_one();
}

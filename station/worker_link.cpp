// The worker's link to the station (see worker_link.h).
#include "station/worker_link.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "output/json_line.h"
#include "session/session.h"

WorkerLink& WorkerLink::get()
{
    static WorkerLink* link = new WorkerLink;
    return *link;
}

WorkerLink::WorkerLink()
{
    std::thread([this] { readCommands(); }).detach();
}

void WorkerLink::readCommands()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "arm")
            ++arms_;
        else if (line == "stop")
            stop_.store(true);
        poke();
    }
    // The station is gone: nothing more may reach the line, whatever the main thread is doing.
    DownloadSession::haltNow();
    gone_.store(true);
    poke();
}

bool WorkerLink::emit(const nlohmann::json& event)
{
    if (!writeJsonLine(stdout, event)) {
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

void WorkerLink::wait(std::chrono::milliseconds timeout)
{
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

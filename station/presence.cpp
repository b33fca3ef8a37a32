// Polling for a handset on the cable: its first answer, or its removal (see presence.h).
#include "station/presence.h"

#include <chrono>
#include <cstdint>
#include <optional>

#include "engine/handset_answer.h"
#include "transport/port_discovery.h"
#include "transport/port_open.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kInquiryPeriod = std::chrono::milliseconds(100);
constexpr auto kReopenPause = std::chrono::milliseconds(250);
// Longer than this between two inquiries, the worker was not listening (stopped, or starved):
// that time is not silence heard, and the count starts again.
constexpr auto kStall = std::chrono::milliseconds(1000);

// One inquiry, and whatever has arrived since the last. False when the port failed. The
// frame and the recogniser are the engine's: the wire is known there alone.
bool inquire(const SerialPortOps* ops, SerialPort* port, PresenceAnswer& spotter, bool* answered)
{
    const WireFrame inquiry = inquiryFrame();
    *answered = false;
    if (!ops->write(port, inquiry.bytes, inquiry.length))
        return false;
    for (;;) {
        const int32_t waiting = ops->bytesWaiting(port);
        if (waiting < 0)
            return false;
        if (waiting == 0)
            return true;
        uint8_t buffer[64];
        const int32_t got = ops->read(port, buffer, sizeof buffer);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        *answered |= spotter.feed(buffer, got);
    }
}

// Opens the port, trying again while it is there but busy. Null with *why set when it went
// or the station asked to stop.
SerialPort* openWhilePresent(const std::string& device, WorkerLink& link, Presence* why)
{
    for (;;) {
        if (link.stopAsked()) {
            *why = Presence::Stopped;
            return nullptr;
        }
        std::string error;
        if (SerialPort* port = openSerialPort(device.c_str(), &error))
            return port;
        if (!portPresent(device)) {
            *why = Presence::PortLost;
            return nullptr;
        }
        link.wait(kReopenPause);
    }
}

// The silence heard after a unit. A gap between two turns longer than kStall was not
// listened to (the worker stopped, or was starved): the count starts again. The first turn
// starts it.
class Silence {
public:
    explicit Silence(int silenceMs) : needed_(std::chrono::milliseconds(silenceMs)) {}

    // After a turn: true once no answer has come for the whole silence.
    bool heard(bool answered)
    {
        const auto now = Clock::now();
        if (answered || !lastTurn_ || now - *lastTurn_ > kStall)
            lastAnswer_ = now;
        lastTurn_ = now;
        return now - lastAnswer_ >= needed_;
    }

private:
    Clock::duration needed_;
    Clock::time_point lastAnswer_;
    std::optional<Clock::time_point> lastTurn_;
};

// What one turn heard means to the caller: an outcome that ends the poll, or nothing to go on.
using TurnJudge = std::function<std::optional<Presence>(bool answered)>;

// The one polling loop: opens the port, then each turn ends it when the station asks to stop
// or the port goes, sends one inquiry and hands what was heard to `judge`, then waits an
// inquiry period. The port is closed again when it returns.
Presence poll(const std::string& device, WorkerLink& link, const TurnJudge& judge)
{
    const SerialPortOps* ops = platformPortOps();
    Presence outcome = Presence::Stopped;
    SerialPort* port = openWhilePresent(device, link, &outcome);
    if (!port)
        return outcome;
    PresenceAnswer spotter;
    for (;;) {
        if (link.stopAsked()) {
            outcome = Presence::Stopped;
            break;
        }
        bool answered = false;
        if (!inquire(ops, port, spotter, &answered) && !portPresent(device)) {
            outcome = Presence::PortLost;
            break;
        }
        if (const std::optional<Presence> end = judge(answered)) {
            outcome = *end;
            break;
        }
        link.wait(kInquiryPeriod);
    }
    ops->close(port);
    return outcome;
}

}  // namespace

Presence waitForAnswer(const std::string& device, WorkerLink& link)
{
    return poll(device, link, [](bool answered) {
        return answered ? std::optional<Presence>(Presence::Answered) : std::nullopt;
    });
}

Presence waitForRemoval(const std::string& device, int silenceMs, WorkerLink& link)
{
    return waitWhileAnswering(device, silenceMs, link, [] { return false; });
}

Presence waitWhileAnswering(const std::string& device, int silenceMs, WorkerLink& link,
                            const std::function<bool()>& released)
{
    Silence silence(silenceMs);
    return poll(device, link, [&](bool answered) -> std::optional<Presence> {
        if (silence.heard(answered))
            return Presence::Removed;
        if (released())
            return Presence::Released;
        return std::nullopt;
    });
}

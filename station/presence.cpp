// Waiting for the handset to be removed (see presence.h).
#include "station/presence.h"

#include <chrono>
#include <cstdint>

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

}  // namespace

Presence waitForAnswer(const std::string& device, WorkerLink& link)
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
        if (answered) {
            outcome = Presence::Answered;
            break;
        }
        link.wait(kInquiryPeriod);
    }
    ops->close(port);
    return outcome;
}

Presence waitForRemoval(const std::string& device, int silenceMs, WorkerLink& link)
{
    return waitWhileAnswering(device, silenceMs, link, [] { return false; });
}

Presence waitWhileAnswering(const std::string& device, int silenceMs, WorkerLink& link,
                            const std::function<bool()>& released)
{
    const SerialPortOps* ops = platformPortOps();
    Presence opened = Presence::Stopped;
    SerialPort* port = openWhilePresent(device, link, &opened);
    if (!port)
        return opened;
    PresenceAnswer spotter;
    auto lastAnswer = Clock::now();
    auto lastTurn = lastAnswer;
    Presence outcome = Presence::Removed;
    for (;;) {
        const auto now = Clock::now();
        if (now - lastTurn > kStall)
            lastAnswer = now;
        lastTurn = now;
        if (now - lastAnswer >= std::chrono::milliseconds(silenceMs))
            break;
        if (link.stopAsked()) {
            outcome = Presence::Stopped;
            break;
        }
        if (released()) {
            outcome = Presence::Released;
            break;
        }
        bool answered = false;
        if (!inquire(ops, port, spotter, &answered) && !portPresent(device)) {
            outcome = Presence::PortLost;
            break;
        }
        if (answered)
            lastAnswer = Clock::now();
        link.wait(kInquiryPeriod);
    }
    ops->close(port);
    return outcome;
}

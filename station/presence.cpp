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

}  // namespace

Presence waitForRemoval(const std::string& device, int silenceMs, WorkerLink& link)
{
    const SerialPortOps* ops = platformPortOps();
    SerialPort* port = nullptr;
    while (!port) {
        if (link.stopAsked())
            return Presence::Stopped;
        std::string error;
        port = openSerialPort(device.c_str(), &error);
        if (!port && !portPresent(device))
            return Presence::PortLost;
        if (!port)
            link.wait(kReopenPause);
    }
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

// Frame I/O and delivery of received bytes (see frame_io.h).
#include "transport/frame_io.h"

#include <cstring>

namespace {

// Counts haltAll calls. Process-wide because a signal handler (Ctrl-C) sets it and can reach
// no object; a line started before the count last changed is no longer running.
std::atomic<uint32_t> haltCount{0};

}  // namespace

void FrameIo::haltAll() { haltCount.fetch_add(1, std::memory_order_acq_rel); }

bool FrameIo::running() const
{
    return running_.load(std::memory_order_acquire) &&
           haltCount.load(std::memory_order_acquire) ==
               haltsAtStart_.load(std::memory_order_relaxed);
}

void FrameIo::setRunning(bool value)
{
    if (value)
        haltsAtStart_.store(haltCount.load(std::memory_order_acquire), std::memory_order_relaxed);
    running_.store(value, std::memory_order_release);
}

void FrameIo::attach(const SerialPortOps* newOps, SerialPort* newPort)
{
    ops_ = newPort ? newOps : nullptr;
    port_ = newPort;
}

void FrameIo::listenForEvents()
{
    if (ops_ && port_)
        ops_->setEventMask(port_, kTransportMask);
}

void FrameIo::writeLastFrame()
{
    listenForEvents();
    if (ops_ && port_ && lastFrame_.bytes && lastFrame_.length > 0 &&
        ops_->write(port_, lastFrame_.bytes, lastFrame_.length))
        bytesWritten_ += lastFrame_.length;
}

void FrameIo::sendFrame(const uint8_t* bytes, uint32_t length)
{
    if (!running())
        return;
    lastFrame_ = {bytes, length};
    writeLastFrame();
}

void FrameIo::resendLastFrame()
{
    if (!running())
        return;
    writeLastFrame();
}

void FrameIo::setLastFrameLength(uint32_t length) { lastFrame_.length = length; }

void FrameIo::armReceive(uint8_t* destination, uint32_t count)
{
    if (!running())
        return;
    requested_ = {destination, count};
    armed_ = requested_;
    listenForEvents();
}

void FrameIo::rearmReceive()
{
    if (!running())
        return;
    armed_ = requested_;
    listenForEvents();
}

void FrameIo::deliverBytes(const uint8_t* bytes, uint32_t n, bool (*complete)(void*),
                           void* context)
{
    while (n > 0) {
        // Read afresh every step: the last completion's handler may have armed another receive.
        const Receive current = armed_;
        if (current.destination == nullptr || current.count == 0)
            return;  // nothing armed: the bytes have nowhere to go
        if (n < current.count) {
            std::memcpy(current.destination, bytes, n);
            armed_ = {current.destination + n, current.count - n};
            return;
        }
        // The completing bytes leave the armed receive as it was: a handler that arms nothing
        // gets the following bytes into the same place again.
        std::memcpy(current.destination, bytes, current.count);
        bytes += current.count;
        n -= current.count;
        if (!complete(context))
            return;  // no state yet to take them
    }
}

// Frame I/O and delivery of received bytes (see frame_io.h).
#include "transport/frame_io.h"

#include <atomic>
#include <cstring>

#include "engine/handler_slots.h"

namespace {

struct Receive {
    uint8_t* destination;
    uint32_t count;
};

struct Frame {
    const uint8_t* bytes;
    uint32_t length;
};

// Guarded by the engine lock, except `running`, which the waits poll without it.
std::atomic<bool> running{false};
const SerialPortOps* ops = nullptr;
SerialPort* port = nullptr;
Frame lastFrame = {nullptr, 0};
Receive requestedReceive = {nullptr, 0};
Receive armedReceive = {nullptr, 0};
uint64_t bytesWritten = 0;  // this download's, from the line's start

void listenForEvents()
{
    if (ops && port)
        ops->setEventMask(port, kTransportMask);
}

void writeLastFrame()
{
    listenForEvents();
    if (ops && port && lastFrame.bytes && lastFrame.length > 0 &&
        ops->write(port, lastFrame.bytes, lastFrame.length))
        bytesWritten += lastFrame.length;
}

}  // namespace

bool lineRunning() { return running.load(std::memory_order_acquire); }

void setLineRunning(bool value)
{
    // Async-signal-safe when stopping: one atomic store.
    running.store(value, std::memory_order_release);
}

void startLineCount()
{
    EngineLock lock;
    bytesWritten = 0;
}

uint64_t bytesWrittenOnLine() { return bytesWritten; }

void attachLine(const SerialPortOps* newOps, SerialPort* newPort)
{
    EngineLock lock;
    ops = newPort ? newOps : nullptr;
    port = newPort;
}

SerialPort* linePort() { return port; }

const SerialPortOps* lineOps() { return ops; }

void sendFrame(const uint8_t* bytes, uint32_t length)
{
    if (!lineRunning())
        return;
    lastFrame = {bytes, length};
    writeLastFrame();
}

void resendLastFrame()
{
    if (!lineRunning())
        return;
    writeLastFrame();
}

void setLastFrameLength(uint32_t length) { lastFrame.length = length; }

void armReceive(uint8_t* destination, uint32_t count)
{
    if (!lineRunning())
        return;
    requestedReceive = {destination, count};
    armedReceive = requestedReceive;
    listenForEvents();
}

void rearmReceive()
{
    if (!lineRunning())
        return;
    armedReceive = requestedReceive;
    listenForEvents();
}

void dispatchTxEmpty()
{
    EngineLock lock;
    if (handlerSlots.onTxEmpty)
        handlerSlots.onTxEmpty();
}

void deliverBytes(const uint8_t* bytes, uint32_t n)
{
    EngineLock lock;
    while (n > 0) {
        // Read afresh every step: the last completion's handler may have armed another receive.
        const Receive current = armedReceive;
        if (current.destination == nullptr || current.count == 0)
            return;  // nothing armed: the bytes have nowhere to go
        if (n < current.count) {
            std::memcpy(current.destination, bytes, n);
            armedReceive = {current.destination + n, current.count - n};
            return;
        }
        // The completing bytes leave armedReceive as it was: a handler that arms nothing
        // gets the following bytes into the same place again.
        std::memcpy(current.destination, bytes, current.count);
        bytes += current.count;
        n -= current.count;
        if (!handlerSlots.onRxComplete)
            return;  // no state yet to take them
        handlerSlots.onRxComplete();
    }
}

void resetFrameIo()
{
    EngineLock lock;
    lastFrame = {nullptr, 0};
    requestedReceive = {nullptr, 0};
    armedReceive = {nullptr, 0};
}

// Frame I/O: the transport operations the download engine uses, and the delivery of received
// bytes into the receive that the engine armed. One per line, owned by whoever opened it.
//
// Frames are sent from the caller's storage and remembered by address and length, so that
// resendLastFrame can write them again: a frame's storage must outlive its resends.
//
// The owner serialises every call except running and stop (its lock: the engine lock); the
// reader thread reaches it only through the owner's LineEvents. While the line is not
// running, every send and arm does nothing.
#ifndef TARVOLO_TRANSPORT_FRAME_IO_H
#define TARVOLO_TRANSPORT_FRAME_IO_H

#include <atomic>
#include <cstdint>

#include "transport/serial_port.h"

class FrameIo {
public:
    void sendFrame(const uint8_t* bytes, uint32_t length);
    void resendLastFrame();
    void setLastFrameLength(uint32_t length);
    void armReceive(uint8_t* destination, uint32_t count);
    void rearmReceive();
    // False once stopped, or once haltAll has been called since the line started.
    bool running() const;

    // Binds to an open port (or, with a null port, unbinds).
    void attach(const SerialPortOps* ops, SerialPort* port);
    // Async-signal-safe when stopping: one atomic store.
    void setRunning(bool running);
    // Bytes of frames written to the port since startCount (the reader's start calls it).
    void startCount() { bytesWritten_ = 0; }
    uint64_t bytesWritten() const { return bytesWritten_; }
    SerialPort* port() const { return port_; }
    const SerialPortOps* ops() const { return ops_; }

    // Distributes n received bytes into the armed receives, in order, calling complete(context)
    // at each completion; complete returns false when no state takes them (the rest is then
    // dropped). Bytes with no receive armed are dropped.
    void deliverBytes(const uint8_t* bytes, uint32_t n, bool (*complete)(void*), void* context);

    // Stops every line of the process at once, from a signal handler or any thread.
    static void haltAll();

private:
    struct Receive {
        uint8_t* destination;
        uint32_t count;
    };
    struct Frame {
        const uint8_t* bytes;
        uint32_t length;
    };

    void listenForEvents();
    void writeLastFrame();

    std::atomic<bool> running_{false};
    std::atomic<uint32_t> haltsAtStart_{0};
    const SerialPortOps* ops_ = nullptr;
    SerialPort* port_ = nullptr;
    Frame lastFrame_ = {nullptr, 0};
    Receive requested_ = {nullptr, 0};
    Receive armed_ = {nullptr, 0};
    uint64_t bytesWritten_ = 0;  // this download's, from the line's start
};

#endif

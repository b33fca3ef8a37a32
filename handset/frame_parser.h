// Splitting what the host writes into command frames. Every frame starts with '<' and a
// command letter; the write frame has no length field and ends when its payload has produced
// one block. Bytes between frames that do not start a command, unknown command letters and
// frames left incomplete for too long are reported as problems.
//
// Times: the pty delivers a whole frame at once, but on a real line each byte takes ten bit
// times. The parser keeps a virtual line clock that starts each byte no earlier than it was
// read and no earlier than the previous byte's end, so a frame's `endUs` is when its last
// byte would have arrived on a real line.
#ifndef TARVOLO_HANDSET_FRAME_PARSER_H
#define TARVOLO_HANDSET_FRAME_PARSER_H

#include <cstdint>
#include <functional>
#include <string>

#include "handset/payload.h"

struct HostFrame {
    uint8_t letter = 0;       // 'i', 'p', 'e', 'w', 'c' or 'a'
    int64_t endUs = 0;        // when its last byte would have left a real line
    uint32_t speed = 0;       // the host's line speed when its first byte was read
    uint8_t speedCode = 0;    // '<p'
    uint8_t trailer = 0;      // '<p': should be 0xFF
    uint16_t number = 0;      // '<w': block number; '<c': the host's checksum
    const PayloadDecoder* payload = nullptr;   // '<w'
};

class FrameParser {
public:
    using FrameSink = std::function<void(const HostFrame&)>;
    using ProblemSink = std::function<void(const std::string&)>;

    FrameParser(FrameSink onFrame, ProblemSink onProblem)
        : onFrame_(std::move(onFrame)), onProblem_(std::move(onProblem)) {}

    // The block size and blank byte that write frames are decoded with.
    void configure(int32_t blockSize, uint8_t blank) { blockSize_ = blockSize; blank_ = blank; }
    void setFrameTimeout(int64_t us) { frameTimeoutUs_ = us; }

    // Bytes read at nowUs while the host's line was set to hostSpeed.
    void feed(const uint8_t* bytes, size_t length, int64_t nowUs, uint32_t hostSpeed);
    // Abandons a frame left incomplete, and reports stray bytes, once the line has been quiet.
    void checkQuiet(int64_t nowUs);
    // When checkQuiet has something to do; INT64_MAX when nothing.
    int64_t quietDeadline() const;

private:
    enum class State { Idle, Letter, SpeedCode, Trailer, NumberHigh, NumberLow, Payload, SumHigh, SumLow };
    void take(uint8_t byte, int64_t nowUs, uint32_t hostSpeed);
    void startCommand(uint8_t letter);
    void finish();
    void flushStray();

    FrameSink onFrame_;
    ProblemSink onProblem_;
    int32_t blockSize_ = 1024;
    uint8_t blank_ = 0xFF;
    int64_t frameTimeoutUs_ = 1000000;

    State state_ = State::Idle;
    HostFrame frame_;
    PayloadDecoder payload_;
    uint32_t frameBytes_ = 0;
    int64_t lineEndNs_ = 0;   // nanoseconds, so that byte times do not round up one by one
    int64_t lastReadUs_ = 0;
    std::string stray_;
    uint32_t strayCount_ = 0;
};

// The line time of `count` bytes (start bit, 8 data bits, stop bit each) at `speed`, in
// microseconds, rounded up.
inline int64_t lineTimeUs(int64_t count, uint32_t speed)
{
    return speed ? (count * 10000000 + speed - 1) / speed : 0;
}
inline int64_t byteTimeUs(uint32_t speed) { return lineTimeUs(1, speed); }

#endif

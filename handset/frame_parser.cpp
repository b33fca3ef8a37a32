// Host frame parsing (see frame_parser.h).
#include "handset/frame_parser.h"

#include <climits>
#include <cstdio>

namespace {

constexpr int64_t kStrayQuietUs = 20000;   // stray bytes are reported once the line is this quiet

std::string hexBytes(const std::string& bytes, uint32_t total)
{
    std::string text;
    char piece[8];
    for (unsigned char c : bytes) {
        std::snprintf(piece, sizeof piece, "%s%02X", text.empty() ? "" : " ", c);
        text += piece;
    }
    if (total > bytes.size())
        text += " ...";
    return text;
}

}  // namespace

void FrameParser::feed(const uint8_t* bytes, size_t length, int64_t nowUs, uint32_t hostSpeed)
{
    checkQuiet(nowUs);
    for (size_t i = 0; i < length; ++i)
        take(bytes[i], nowUs, hostSpeed);
    lastReadUs_ = nowUs;
}

void FrameParser::take(uint8_t byte, int64_t nowUs, uint32_t hostSpeed)
{
    const int64_t nowNs = nowUs * 1000;
    lineEndNs_ = (lineEndNs_ > nowNs ? lineEndNs_ : nowNs) + (hostSpeed ? 10000000000 / hostSpeed : 0);
    ++frameBytes_;
    switch (state_) {
    case State::Idle:
        if (byte == '<') {
            flushStray();
            state_ = State::Letter;
            frame_ = HostFrame{};
            frame_.speed = hostSpeed;
            frameBytes_ = 1;
        } else {
            if (stray_.size() < 16)
                stray_.push_back(static_cast<char>(byte));
            ++strayCount_;
        }
        break;
    case State::Letter:
        startCommand(byte);
        break;
    case State::SpeedCode:
        frame_.speedCode = byte;
        state_ = State::Trailer;
        break;
    case State::Trailer:
        frame_.trailer = byte;
        finish();
        break;
    case State::NumberHigh:
    case State::SumHigh:
        frame_.number = static_cast<uint16_t>(byte << 8);
        state_ = state_ == State::NumberHigh ? State::NumberLow : State::SumLow;
        break;
    case State::NumberLow:
        frame_.number = static_cast<uint16_t>(frame_.number | byte);
        if (blockSize_ < 1) {
            onProblem_("write frame for block " + std::to_string(frame_.number) +
                       " cannot be decoded: the announced block size is below 1");
            state_ = State::Idle;
            break;
        }
        payload_.start(static_cast<uint32_t>(blockSize_), blank_);
        state_ = State::Payload;
        break;
    case State::Payload:
        if (payload_.feed(byte)) {
            frame_.payload = &payload_;
            finish();
        }
        break;
    case State::SumLow:
        frame_.number = static_cast<uint16_t>(frame_.number | byte);
        finish();
        break;
    }
}

void FrameParser::startCommand(uint8_t letter)
{
    frame_.letter = letter;
    switch (letter) {
    case 'i':
    case 'e':
    case 'a':
        finish();
        return;
    case 'p':
        state_ = State::SpeedCode;
        return;
    case 'w':
        state_ = State::NumberHigh;
        return;
    case 'c':
        state_ = State::SumHigh;
        return;
    case '<':
        onProblem_("'<' without a command letter");   // this '<' may start the next frame
        return;
    default:
        char text[64];
        std::snprintf(text, sizeof text, "unknown command '<' 0x%02X", letter);
        onProblem_(text);
        state_ = State::Idle;
    }
}

void FrameParser::finish()
{
    frame_.endUs = (lineEndNs_ + 999) / 1000;
    state_ = State::Idle;
    onFrame_(frame_);
}

void FrameParser::flushStray()
{
    if (strayCount_ == 0)
        return;
    onProblem_(std::to_string(strayCount_) + " byte(s) outside any command frame: " +
               hexBytes(stray_, strayCount_));
    stray_.clear();
    strayCount_ = 0;
}

void FrameParser::checkQuiet(int64_t nowUs)
{
    if (strayCount_ > 0 && nowUs - lastReadUs_ >= kStrayQuietUs)
        flushStray();
    if (state_ != State::Idle && nowUs - lastReadUs_ >= frameTimeoutUs_) {
        char text[128];
        std::snprintf(text, sizeof text, "incomplete '<%c' frame abandoned after %u bytes and %lld ms of silence",
                      frame_.letter ? frame_.letter : '?', frameBytes_,
                      static_cast<long long>((nowUs - lastReadUs_) / 1000));
        onProblem_(text);
        state_ = State::Idle;
    }
}

int64_t FrameParser::quietDeadline() const
{
    int64_t deadline = INT64_MAX;
    if (strayCount_ > 0)
        deadline = lastReadUs_ + kStrayQuietUs;
    if (state_ != State::Idle && lastReadUs_ + frameTimeoutUs_ < deadline)
        deadline = lastReadUs_ + frameTimeoutUs_;
    return deadline;
}

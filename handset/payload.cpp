// Write-frame payload decoding (see payload.h).
#include "handset/payload.h"

#include <algorithm>

void PayloadDecoder::start(uint32_t blockSize, uint8_t blank)
{
    blockSize_ = blockSize;
    blank_ = blank;
    token_ = Token::Start;
    consumed_ = 0;
    overran_ = false;
    block_.clear();
    problems_.clear();
}

void PayloadDecoder::put(uint8_t byte, uint32_t copies)
{
    const uint32_t room = blockSize_ - static_cast<uint32_t>(block_.size());
    if (copies > room) {
        overran_ = true;
        problems_.push_back("run of " + std::to_string(copies) + " bytes overruns the block by " +
                            std::to_string(copies - room));
        copies = room;
    }
    block_.insert(block_.end(), copies, byte);
}

bool PayloadDecoder::feed(uint8_t byte)
{
    ++consumed_;
    if (blank_ == 0xFF) {
        block_.push_back(byte);
        return block_.size() >= blockSize_;
    }
    switch (token_) {
    case Token::Start:
        if (byte == blank_)
            token_ = Token::AfterEscape;
        else
            put(byte, 1);
        break;
    case Token::AfterEscape:
        if (byte == blank_) {
            put(byte, 1);
            token_ = Token::Start;
        } else {
            runByte_ = byte;
            token_ = Token::AfterRunByte;
        }
        break;
    case Token::AfterRunByte:
        if (byte < 4)
            problems_.push_back("run of " + std::to_string(byte) + " (runs are 4 to 255 bytes long)");
        put(runByte_, byte);
        token_ = Token::Start;
        break;
    }
    return block_.size() >= blockSize_;
}

// Decoding a write frame's payload into one block, byte by byte as it arrives. The frame has no
// length field: it ends when the payload has produced the block's bytes. With the blank byte
// 0xFF the payload is the raw block; otherwise it is run-length encoded with the blank byte E
// as escape: a byte X other than E stands for itself, E E for one E, and E X n for n copies of
// X (4 <= n <= 255).
#ifndef TARVOLO_HANDSET_PAYLOAD_H
#define TARVOLO_HANDSET_PAYLOAD_H

#include <cstdint>
#include <string>
#include <vector>

class PayloadDecoder {
public:
    void start(uint32_t blockSize, uint8_t blank);
    // Takes the next payload byte; true once the block is complete (the frame has ended).
    bool feed(uint8_t byte);

    const std::vector<uint8_t>& block() const { return block_; }
    // What was wrong with the payload: a run shorter than 4, a run past the block's end.
    // Empty for a sound payload.
    const std::vector<std::string>& problems() const { return problems_; }
    bool overran() const { return overran_; }
    uint32_t payloadLength() const { return consumed_; }

private:
    enum class Token { Start, AfterEscape, AfterRunByte };
    void put(uint8_t byte, uint32_t copies);

    uint32_t blockSize_ = 0;
    uint8_t blank_ = 0xFF;
    Token token_ = Token::Start;
    uint8_t runByte_ = 0;
    uint32_t consumed_ = 0;
    bool overran_ = false;
    std::vector<uint8_t> block_;
    std::vector<std::string> problems_;
};

#endif

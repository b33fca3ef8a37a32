// Write-frame payload decoding: every token form, the raw form, and malformed payloads.
#include <gtest/gtest.h>

#include "handset/payload.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Feeds the payload and returns the block; `ended` tells at which byte the frame ended
// (payload.size() + 1 when it never did).
Bytes decode(const Bytes& payload, uint32_t blockSize, uint8_t blank, size_t* ended = nullptr,
             PayloadDecoder* decoder = nullptr)
{
    PayloadDecoder local;
    PayloadDecoder& d = decoder ? *decoder : local;
    d.start(blockSize, blank);
    size_t end = payload.size() + 1;
    for (size_t i = 0; i < payload.size(); ++i)
        if (d.feed(payload[i])) {
            end = i + 1;
            break;
        }
    if (ended)
        *ended = end;
    return d.block();
}

Bytes repeat(uint8_t byte, size_t count) { return Bytes(count, byte); }

}  // namespace

TEST(Payload, DecodesEachTokenFormOfTheEncoderExamples)
{
    struct Case {
        Bytes block, payload;
    };
    Bytes run300Payload = {0x00, 0x41, 0xFF, 0x00, 0x41, 0x2D};
    const Case cases[] = {
        {{0x41, 0x42, 0x43}, {0x41, 0x42, 0x43}},
        {{0x41, 0x41, 0x41, 0x41, 0x42}, {0x00, 0x41, 0x04, 0x42}},
        {repeat(0x41, 6), {0x00, 0x41, 0x06}},
        {{0x00, 0x41}, {0x00, 0x00, 0x41}},
        {{0x41, 0x41, 0x41, 0x41, 0x41, 0x00}, {0x00, 0x41, 0x05, 0x00, 0x00}},
        {{0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {{0xFF, 0x41, 0xFF}, {0xFF, 0x41, 0xFF}},
        {repeat(0x41, 255), {0x00, 0x41, 0xFF}},
        {repeat(0x41, 256), {0x00, 0x41, 0xFF, 0x41}},
        {repeat(0x41, 300), run300Payload},
    };
    for (const Case& c : cases) {
        size_t ended = 0;
        PayloadDecoder d;
        EXPECT_EQ(decode(c.payload, static_cast<uint32_t>(c.block.size()), 0x00, &ended, &d), c.block);
        EXPECT_EQ(ended, c.payload.size()) << "the frame ends with the byte that completes the block";
        EXPECT_TRUE(d.problems().empty());
    }
}

TEST(Payload, RawWhenTheBlankByteIsFF)
{
    const Bytes block = {0x41, 0x42, 0x00, 0xFF, 0x3C, 0x77, 0x43, 0x44};
    size_t ended = 0;
    EXPECT_EQ(decode(block, 8, 0xFF, &ended), block);
    EXPECT_EQ(ended, 8u);
}

TEST(Payload, AnotherEscapeByteAndAFrameThatGoesOnArePartOfTheNextCommand)
{
    // Escape 0x55: 55 55 is one 0x55; the frame ends with the run that fills the block, and
    // the bytes after it are not taken.
    size_t ended = 0;
    EXPECT_EQ(decode({0x55, 0x55, 0x01, 0x55, 0x02, 0x04, '<', 'c'}, 6, 0x55, &ended),
              Bytes({0x55, 0x01, 0x02, 0x02, 0x02, 0x02}));
    EXPECT_EQ(ended, 6u);
}

TEST(Payload, ReportsShortRunsAndRunsPastTheBlock)
{
    PayloadDecoder d;
    decode({0x00, 0x41, 0x02, 0x42, 0x43}, 4, 0x00, nullptr, &d);
    EXPECT_EQ(d.block(), Bytes({0x41, 0x41, 0x42, 0x43}));
    ASSERT_EQ(d.problems().size(), 1u);
    EXPECT_NE(d.problems()[0].find("run of 2"), std::string::npos);
    EXPECT_FALSE(d.overran());

    decode({0x41, 0x00, 0x42, 0x09}, 4, 0x00, nullptr, &d);
    EXPECT_TRUE(d.overran());
    EXPECT_EQ(d.block(), Bytes({0x41, 0x42, 0x42, 0x42}));
}

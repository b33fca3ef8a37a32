// Block preparation: results, progress, checksum counting, the raw and run-length encoded
// payloads (byte-exact with the worked examples, and decoded back for random blocks).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/block_prep.h"
#include "engine/checksum.h"
#include "engine/engine_kit.h"
#include "engine/release_file.h"
#include "tests/engine/temp_file.h"
#include "tests/support/scripted_line.h"
#include "transport/frame_io.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes repeat(uint8_t b, size_t n) { return Bytes(n, b); }

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A download's view of one release file: opened, identifier read, buffers allocated, and the
// frame buffer registered as the last frame so that resendLastFrame shows what was prepared.
class Download {
public:
    Download(const Bytes& image, int32_t blockSize, uint8_t blank, int32_t kind = kChecksumCrc,
             int32_t bufferBlockSize = 0)
        : file_(releaseBytes("KM52", image))
    {
        initEngine(engine, kModeEraseAndDownload, 19200, 19200, 0);
        EXPECT_NE(openReleaseFile(engine, file_.path()), nullptr);
        EXPECT_EQ(readImage(engine, engine.fileProductId, 4), 4u);
        engine.checksumKind = kind;
        engine.blankByte = blank;
        engine.blockSize = bufferBlockSize ? bufferBlockSize : blockSize;
        EXPECT_TRUE(allocateBlockBuffers(engine));
        engine.blockSize = blockSize;
        putBlockNumber(engine.frameBuffer, 0);
        engine.io.sendFrame(engine.frameBuffer, wire::kWriteHeaderLength);
    }
    ~Download() { closeReleaseFile(engine); }

    // The frame as the block transfer would send it: exactly the remembered length.
    Bytes frame()
    {
        ScriptedLine& line = *ScriptedLine::current;
        engine.io.resendLastFrame();
        Bytes sent = line.frames.back().bytes;
        line.frames.clear();
        return sent;
    }
    Bytes payload()
    {
        const Bytes f = frame();
        return Bytes(f.begin() + wire::kWriteHeaderLength, f.end());
    }

private:
    Engine& engine = ScriptedLine::current->engine;  // the test's line's
    TempFile file_;
};

// Payload of one block run through prepareBlock with escape byte `blank`.
Bytes payloadOf(const Bytes& block, uint8_t blank)
{
    Engine& engine = ScriptedLine::current->engine;
    Download d(block, static_cast<int32_t>(block.size()), blank);
    EXPECT_EQ(prepareBlock(engine), kBlockFrameReady);
    return d.payload();
}

// Expands a payload by the three token forms; stops once `blockSize` bytes are out, as the
// handset does. `used` receives the number of payload bytes taken.
Bytes decode(const Bytes& payload, uint8_t escape, size_t blockSize, size_t* used)
{
    Bytes out;
    size_t i = 0;
    while (out.size() < blockSize && i < payload.size()) {
        const uint8_t b = payload[i];
        if (b != escape) {
            out.push_back(b);
            i += 1;
        } else if (i + 1 < payload.size() && payload[i + 1] == escape) {
            out.push_back(escape);
            i += 2;
        } else if (i + 2 < payload.size()) {
            const uint8_t x = payload[i + 1];
            const uint8_t n = payload[i + 2];
            EXPECT_GE(n, 4) << "run token shorter than 4 at payload offset " << i;
            out.insert(out.end(), n, x);
            i += 3;
        } else {
            ADD_FAILURE() << "payload ends inside a token at offset " << i;
            break;
        }
    }
    *used = i;
    return out;
}

TEST(PrepareBlock, FrameThenBlankThenEndOfImage)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    const Bytes data = concat({Bytes{1, 2, 3, 0xFF}, repeat(0xFF, 4), Bytes{9, 9, 9}});
    Download d(data, 4, 0xFF);
    EXPECT_EQ(prepareBlock(engine), kBlockFrameReady);
    const Bytes first = d.frame();
    EXPECT_EQ(first, (Bytes{'<', 'w', 0, 0, 1, 2, 3, 0xFF}));

    // A blank block is counted but leaves the frame buffer and the remembered length alone.
    EXPECT_EQ(prepareBlock(engine), kBlockBlank);
    EXPECT_EQ(d.frame(), first);

    EXPECT_EQ(prepareBlock(engine), kBlockEndOfImage);  // the short last piece is dropped
    EXPECT_EQ(prepareBlock(engine), kBlockEndOfImage);
    EXPECT_EQ(d.frame(), first);

    uint32_t expected = 0xFFFF;
    crcUpdate(&expected, data.data(), 8);
    EXPECT_EQ(engine.crcAccumulator, expected);
}

TEST(PrepareBlock, BlankBlocksAndOnlyWholeBlocksAreCounted)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    const Bytes whole = concat({repeat(0xFF, 300), repeat(0x41, 300)});
    for (int32_t kind : {kChecksumCrc, kChecksumByteSum}) {
        Download d(concat({whole, repeat(0x33, 299)}), 300, 0x00, kind);
        EXPECT_EQ(prepareBlock(engine), kBlockBlank);
        EXPECT_EQ(prepareBlock(engine), kBlockFrameReady);
        EXPECT_EQ(prepareBlock(engine), kBlockEndOfImage);
        EXPECT_EQ(prepareBlock(engine), kBlockEndOfImage);
        if (kind == kChecksumCrc) {
            uint32_t expected = 0xFFFF;
            crcUpdate(&expected, whole.data(), static_cast<uint32_t>(whole.size()));
            EXPECT_EQ(engine.crcAccumulator, expected);
            EXPECT_EQ(engine.byteSum, 0);  // the other accumulator is untouched
        } else {
            EXPECT_EQ(engine.byteSum, (300 * 0xFF + 300 * 0x41) % 65536);
            EXPECT_EQ(engine.crcAccumulator, 0xFFFFu);
        }
    }
}

TEST(PrepareBlock, ShortReadChangesNothing)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    Download d(repeat(0x12, 1023), 1024, 0x00, kChecksumByteSum);
    EXPECT_EQ(prepareBlock(engine), kBlockEndOfImage);
    EXPECT_EQ(engine.byteSum, 0);
    EXPECT_EQ(d.frame(), (Bytes{'<', 'w', 0, 0}));
}

TEST(PrepareBlock, RawPayloadWithBlankByteFF)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    Bytes block = repeat(0xFF, 1024);
    block[517] = 0x00;
    Download d(block, 1024, 0xFF);
    EXPECT_EQ(prepareBlock(engine), kBlockFrameReady);
    EXPECT_EQ(d.payload(), block);

    EXPECT_EQ(payloadOf(Bytes{0x41, 0x42, 0x43, 0x44, 0x41, 0x42, 0x43, 0x44}, 0xFF),
              (Bytes{0x41, 0x42, 0x43, 0x44, 0x41, 0x42, 0x43, 0x44}));
}

TEST(PrepareBlock, ProgressBeforeEveryReadWhenThereIsATotal)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    Download d(repeat(0x41, 8), 4, 0x00);
    const struct {
        uint16_t block;
        int32_t total, fine, overall;
    } cases[] = {{3, 10, 0, 30}, {1, 300, 33, 0}, {1, 3, 33, 33}, {2, 3, 66, 66}, {0, 5, 0, 0}};
    for (const auto& c : cases) {
        engine.blockNumber = c.block;
        engine.totalBlocks = c.total;
        line.fine = line.overall = -1;
        prepareBlock(engine);  // the last cases read past the end: the bars move all the same
        EXPECT_EQ(line.fine, c.fine) << c.block << " of " << c.total;
        EXPECT_EQ(line.overall, c.overall) << c.block << " of " << c.total;
    }
    line.events.clear();
    engine.totalBlocks = 0;
    prepareBlock(engine);
    EXPECT_TRUE(line.events.empty());
}

TEST(PrepareBlock, UnusableBlockSizesEndTheImageWithoutTouchingMemory)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    Download d(repeat(0x41, 64), 16, 0x00);
    for (int32_t bad : {0, -1, INT32_MIN, INT32_MAX}) {
        engine.blockSize = bad;
        EXPECT_EQ(prepareBlock(engine), kBlockEndOfImage) << bad;
    }
    engine.blockSize = 16;
    releaseBlockBuffers(engine);
    EXPECT_EQ(prepareBlock(engine), kBlockEndOfImage);
}

TEST(BlockBuffers, SizesNearTheInt32LimitsDoNotOverflow)
{
    BlockBufferSizes sizes{};
    EXPECT_FALSE(blockBufferSizes(0, &sizes));
    EXPECT_FALSE(blockBufferSizes(-1, &sizes));
    EXPECT_FALSE(blockBufferSizes(INT32_MIN, &sizes));
    ASSERT_TRUE(blockBufferSizes(1024, &sizes));
    EXPECT_EQ(sizes.readBytes, 1024u);
    EXPECT_EQ(sizes.frameBytes, 2052u);
    // The longest frame must fit a signed 32-bit count.
    ASSERT_TRUE(blockBufferSizes(1073741821, &sizes));
    EXPECT_EQ(sizes.frameBytes, 2147483646u);
    EXPECT_FALSE(blockBufferSizes(1073741822, &sizes));
    EXPECT_FALSE(blockBufferSizes(INT32_MAX, &sizes));

    ScriptedLine line;
    Engine& engine = line.engine;
    engine.blockSize = INT32_MAX;
    EXPECT_FALSE(allocateBlockBuffers(engine));
    EXPECT_EQ(engine.frameBuffer, nullptr);
    EXPECT_EQ(engine.readBuffer, nullptr);
    engine.blockSize = 2;
    ASSERT_TRUE(allocateBlockBuffers(engine));
    EXPECT_EQ(engine.frameBuffer[0], '<');
    EXPECT_EQ(engine.frameBuffer[1], 'w');
}

TEST(Encoder, WorkedExamples)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    const struct {
        Bytes block, payload;
    } cases[] = {
        {{0x41, 0x42, 0x43}, {0x41, 0x42, 0x43}},
        {{0x41, 0x41, 0x41}, {0x41, 0x41, 0x41}},
        {{0x41, 0x41, 0x41, 0x41, 0x42}, {0x00, 0x41, 0x04, 0x42}},
        {repeat(0x41, 6), {0x00, 0x41, 0x06}},
        {{0x00, 0x41}, {0x00, 0x00, 0x41}},
        {{0x41, 0x41, 0x41, 0x41, 0x41, 0x00}, {0x00, 0x41, 0x05, 0x00, 0x00}},
        {{0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {{0xFF, 0x41, 0xFF}, {0xFF, 0x41, 0xFF}},
        {repeat(0x41, 255), {0x00, 0x41, 0xFF}},
        {repeat(0x41, 256), {0x00, 0x41, 0xFF, 0x41}},
        {repeat(0x41, 259), {0x00, 0x41, 0xFF, 0x00, 0x41, 0x04}},
        {repeat(0x41, 300), {0x00, 0x41, 0xFF, 0x00, 0x41, 0x2D}},
        {repeat(0x41, 1024),
         {0x00, 0x41, 0xFF, 0x00, 0x41, 0xFF, 0x00, 0x41, 0xFF, 0x00, 0x41, 0xFF, 0x00, 0x41,
          0x04}},
    };
    for (const auto& c : cases) {
        Download d(c.block, static_cast<int32_t>(c.block.size()), 0x00);
        ASSERT_EQ(prepareBlock(engine), kBlockFrameReady);
        const Bytes frame = d.frame();
        EXPECT_EQ(Bytes(frame.begin() + 4, frame.end()), c.payload)
            << "block of " << c.block.size() << " starting " << int(c.block[0]);
        EXPECT_EQ(frame.size(), c.payload.size() + 4);
        EXPECT_EQ(preparedFrameLength(engine), c.payload.size() + 4);
    }
}

TEST(Encoder, RunsOfThreeStayLiteralAndEscapesArePaired)
{
    ScriptedLine line;
    // Escape 0x7E: a run of 0xFF is ordinary data, and escapes interrupt a run.
    EXPECT_EQ(payloadOf(concat({repeat(0xFF, 5), Bytes{0x7E}, repeat(0xFF, 3)}), 0x7E),
              (Bytes{0x7E, 0xFF, 0x05, 0x7E, 0x7E, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(payloadOf(concat({repeat(0x10, 2), repeat(0x7E, 2), repeat(0x10, 4)}), 0x7E),
              (Bytes{0x10, 0x10, 0x7E, 0x7E, 0x7E, 0x7E, 0x7E, 0x10, 0x04}));
}

TEST(Encoder, EscapeOnlyBlockDoublesAndFitsTheBuffer)
{
    ScriptedLine line;
    for (int32_t size : {1, 2, 1024, 8192}) {
        const Bytes payload = payloadOf(repeat(0x5A, static_cast<size_t>(size)), 0x5A);
        EXPECT_EQ(payload, repeat(0x5A, 2 * static_cast<size_t>(size)));
    }
}

TEST(BlockNumber, BigEndianLow16Bits)
{
    uint8_t frame[4] = {'<', 'w', 0, 0};
    putBlockNumber(frame, 0x0102);
    EXPECT_EQ(frame[2], 0x01);
    EXPECT_EQ(frame[3], 0x02);
    EXPECT_EQ(getBlockNumber(frame + 2), 0x0102);
    putBlockNumber(frame, 0x1FFEE);
    EXPECT_EQ(getBlockNumber(frame + 2), 0xFFEE);
    const uint8_t reply[2] = {0xFF, 0xFF};
    EXPECT_EQ(getBlockNumber(reply), 0xFFFF);
}

// A block built from pieces that stress the encoder: random bytes, long runs (across the
// 255 boundary), runs of the escape byte, runs of 0xFF.
Bytes randomBlock(std::mt19937& rng, size_t size, uint8_t escape)
{
    Bytes block;
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    while (block.size() < size) {
        const size_t left = size - block.size();
        const uint32_t kind = pick(5);
        size_t n = kind == 1 ? 1 + pick(700) : 1 + pick(12);
        n = std::min(n, left);
        const uint8_t value = kind == 2   ? escape
                              : kind == 3 ? uint8_t{0xFF}
                                          : static_cast<uint8_t>(pick(256));
        for (size_t i = 0; i < n; ++i)
            block.push_back(kind == 0 ? static_cast<uint8_t>(pick(256)) : value);
    }
    return block;
}

TEST(Encoder, RandomBlocksDecodeBackToTheOriginal)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    std::mt19937 rng(20261207);
    constexpr int kBlocks = 3000;
    constexpr int32_t kLargest = 8192;
    struct Case {
        size_t size;
        uint8_t escape;
    };
    std::vector<Case> cases;
    Bytes image;
    for (int i = 0; i < kBlocks; ++i) {
        const size_t size = 1 + rng() % kLargest;
        const uint32_t e = rng() % 8;  // favour a few common escapes, 0xFF (raw) among them
        const uint8_t escape = e == 0 ? 0x00 : e == 1 ? 0xFF : static_cast<uint8_t>(rng() % 256);
        const Bytes block = randomBlock(rng, size, escape);
        image.insert(image.end(), block.begin(), block.end());
        cases.push_back({size, escape});
    }
    // All blocks lie one after the other in one file; each call reads the next with its size.
    Download d(image, 1, 0x00, kChecksumByteSum, kLargest);
    size_t offset = 0;
    for (const Case& c : cases) {
        engine.blockSize = static_cast<int32_t>(c.size);
        engine.blankByte = c.escape;
        const Bytes block(image.begin() + static_cast<long>(offset),
                          image.begin() + static_cast<long>(offset + c.size));
        offset += c.size;
        const int32_t result = prepareBlock(engine);
        if (block == repeat(0xFF, c.size)) {
            ASSERT_EQ(result, kBlockBlank);
            continue;
        }
        ASSERT_EQ(result, kBlockFrameReady);
        const Bytes payload = d.payload();
        ASSERT_LE(payload.size(), 2 * c.size);
        if (c.escape == 0xFF) {
            ASSERT_EQ(payload, block);
            continue;
        }
        size_t used = 0;
        ASSERT_EQ(decode(payload, c.escape, c.size, &used), block)
            << "size " << c.size << " escape " << int(c.escape);
        ASSERT_EQ(used, payload.size()) << "the frame must end where the block is complete";
    }
    EXPECT_EQ(prepareBlock(engine), kBlockEndOfImage);
}

}  // namespace

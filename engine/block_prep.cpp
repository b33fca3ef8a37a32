// Block preparation and the run-length encoder (see block_prep.h).
//
// Encoding with escape byte E (never 0xFF here; 0xFF means "send raw"):
//   X        a literal byte X != E
//   E E      one byte E
//   E X n    n copies of X != E, 4 <= n <= 255
#include "engine/block_prep.h"

#include <cstdlib>
#include <cstring>

#include "engine/checksum.h"
#include "engine/engine_kit.h"
#include "engine/engine_state.h"
#include "engine/release_file.h"
#include "transport/frame_io.h"

namespace {

constexpr uint32_t kLongestRun = 255;
constexpr uint32_t kShortestRun = 4;

void recordFrameLength(Engine& engine, uint32_t length)
{
    engine.preparedLength = length;
    engine.io.setLastFrameLength(length);
}

struct Encoder {
    uint8_t* out;
    uint32_t length;
    uint8_t escape;
    uint8_t pending;
    uint32_t count;  // copies of `pending` not yet written

    void put(uint8_t b) { out[length++] = b; }

    void flushRun()
    {
        if (count >= kShortestRun) {
            put(escape);
            put(pending);
            put(static_cast<uint8_t>(count));
        } else {
            for (uint32_t i = 0; i < count; ++i)
                put(pending);
        }
        count = 0;
    }

    void add(uint8_t b)
    {
        if (b == escape) {
            // Escape bytes are never gathered into runs.
            flushRun();
            put(escape);
            put(escape);
        } else if (count > 0 && b == pending) {
            if (++count == kLongestRun)
                flushRun();  // keeps `pending`: further copies start a new count
        } else {
            flushRun();
            pending = b;
            count = 1;
        }
    }
};

bool isBlank(const uint8_t* block, uint32_t size)
{
    for (uint32_t i = 0; i < size; ++i)
        if (block[i] != 0xFF)
            return false;
    return true;
}

void showBlockProgress(Engine& engine)
{
    if (engine.totalBlocks == 0)
        return;
    const int64_t b = engine.blockNumber;
    setFineProgress(engine, static_cast<int32_t>((b * 10000 / engine.totalBlocks) % 100));
    setOverallProgress(engine, static_cast<int32_t>(b * 100 / engine.totalBlocks));
}

}  // namespace

void encodeBlock(Engine& engine)
{
    Encoder encoder{engine.frameBuffer + wire::kWriteHeaderLength, 0, engine.blankByte, 0, 0};
    const uint32_t size = static_cast<uint32_t>(engine.blockSize);
    for (uint32_t i = 0; i < size; ++i)
        encoder.add(engine.readBuffer[i]);
    encoder.flushRun();
    recordFrameLength(engine, encoder.length + wire::kWriteHeaderLength);
}

uint32_t preparedFrameLength(Engine& engine) { return engine.preparedLength; }

bool blockBufferSizes(int32_t blockSize, BlockBufferSizes* sizes)
{
    if (blockSize < 1 || blockSize > kLargestBlockSize)
        return false;
    const uint64_t block = static_cast<uint64_t>(blockSize);
    const uint64_t frame = 2 * block + wire::kWriteHeaderLength;
    *sizes = {static_cast<size_t>(block), static_cast<size_t>(frame)};
    return true;
}

bool allocateBlockBuffers(Engine& engine)
{
    releaseBlockBuffers(engine);
    BlockBufferSizes sizes;
    if (!blockBufferSizes(engine.blockSize, &sizes))
        return false;
    engine.readBuffer = static_cast<uint8_t*>(std::malloc(sizes.readBytes));
    engine.frameBuffer = static_cast<uint8_t*>(std::malloc(sizes.frameBytes));
    if (!engine.readBuffer || !engine.frameBuffer) {
        releaseBlockBuffers(engine);
        return false;
    }
    engine.frameBuffer[0] = wire::kCommandMark;
    engine.frameBuffer[1] = wire::kWrite;
    return true;
}

int32_t prepareBlock(Engine& engine)
{
    showBlockProgress(engine);
    // Without buffers for this block size there is no block to read: end the image rather
    // than read or write out of bounds.
    BlockBufferSizes sizes;
    if (!engine.readBuffer || !engine.frameBuffer || !blockBufferSizes(engine.blockSize, &sizes))
        return kBlockEndOfImage;
    const uint32_t size = static_cast<uint32_t>(engine.blockSize);
    if (readImage(engine, engine.readBuffer, size) != size)
        return kBlockEndOfImage;

    if (engine.checksumKind == kChecksumCrc)
        crcUpdate(&engine.crcAccumulator, engine.readBuffer, size);
    else
        addToByteSum(engine, engine.readBuffer, size);

    if (isBlank(engine.readBuffer, size))
        return kBlockBlank;

    if (engine.blankByte == 0xFF) {
        std::memcpy(engine.frameBuffer + wire::kWriteHeaderLength, engine.readBuffer, size);
        recordFrameLength(engine, size + wire::kWriteHeaderLength);
    } else {
        encodeBlock(engine);
    }
    return kBlockFrameReady;
}

void putBlockNumber(uint8_t* frame, uint32_t number)
{
    frame[2] = static_cast<uint8_t>(number >> 8);
    frame[3] = static_cast<uint8_t>(number);
}

uint16_t getBlockNumber(const uint8_t* bytes)
{
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

// Block preparation: the next block of the release file becomes a write frame in
// engine.frameBuffer, raw or run-length encoded with the handset's blank byte as escape.
#ifndef TARVOLO_ENGINE_BLOCK_PREP_H
#define TARVOLO_ENGINE_BLOCK_PREP_H

#include <cstddef>
#include <cstdint>

struct Engine;

#include "engine/wire.h"

// Results of prepareBlock.
enum BlockPrep : int32_t {
    kBlockFrameReady = 0,
    kBlockBlank = 1,
    kBlockEndOfImage = 2,
};

// Sizes of the per-download buffers for a block size: readBuffer holds one block, frameBuffer
// the longest frame (2 * blockSize + 4, a block of nothing but escape bytes).
struct BlockBufferSizes {
    size_t readBytes;
    size_t frameBytes;
};
// False when blockSize is below 1 or above kLargestBlockSize; the sizes are computed without
// overflow whatever the record announced.
bool blockBufferSizes(int32_t blockSize, BlockBufferSizes* sizes);
// Allocates readBuffer and frameBuffer for engine.blockSize and writes the frame's '<' 'w'.
// False (and no buffer held) when the size is unusable or the memory is not there. The one
// allocation of both the download and `tarvolo info`, so the two refuse the same sizes.
bool allocateBlockBuffers(Engine& engine);

// Reads the next block, counts it in the checksum and builds its write frame (see BlockPrep).
// Runs on the reader thread inside an onRxComplete handler; the progress calls it makes are
// synchronous front-end calls.
int32_t prepareBlock(Engine& engine);
// Encodes engine.readBuffer (blockSize bytes) into frameBuffer from offset 4.
void encodeBlock(Engine& engine);
// Length of the last frame prepareBlock built (header included), as given to
// setLastFrameLength; 0 before the first. Lets a caller without a line total the wire bytes.
uint32_t preparedFrameLength(Engine& engine);
void putBlockNumber(uint8_t* frame, uint32_t number);
uint16_t getBlockNumber(const uint8_t* bytes);

#endif

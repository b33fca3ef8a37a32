// Block preparation: the next block of the release file becomes a write frame in
// engine.frameBuffer, raw or run-length encoded with the handset's blank byte as escape.
#ifndef TARVOLO_ENGINE_BLOCK_PREP_H
#define TARVOLO_ENGINE_BLOCK_PREP_H

#include <cstdint>

// Results of prepareBlock.
enum BlockPrep : int32_t {
    kBlockFrameReady = 0,
    kBlockBlank = 1,
    kBlockEndOfImage = 2,
};

int32_t prepareBlock();
// Encodes engine.readBuffer (blockSize bytes) into frameBuffer from offset 4.
void encodeBlock();
void putBlockNumber(uint8_t* frame, uint32_t number);
uint16_t getBlockNumber(const uint8_t* bytes);

#endif

// What a release file will send: the file read exactly as a download reads it (the product
// identifier, then whole blocks through block preparation), so that the figures are the
// engine's own. `tarvolo info` shows them; a station checks its release file with them.
// Reads with an engine of its own, so it may run while downloads run in the same process.
#ifndef TARVOLO_ENGINE_RELEASE_PREVIEW_H
#define TARVOLO_ENGINE_RELEASE_PREVIEW_H

#include <cstdint>

struct ReleasePreview {
    uint8_t productId[4];    // the file's first four bytes
    uint64_t fileBytes;      // identifier included
    int32_t blockSize;
    uint64_t wholeBlocks;    // blocks a download reads whole
    uint64_t unsentBytes;    // image bytes after the last whole block: never sent
    int32_t blocksShown;     // file bytes / block size: the count the operator is shown
    uint64_t blankBlocks;    // whole blocks of nothing but 0xFF: counted, never sent
    uint64_t writeFrames;    // frames a download sends
    uint64_t wireBytes;      // their lengths added up, 4-byte headers included
    uint16_t crc;            // CRC-16/X-25 of the whole blocks
    uint16_t byteSum;        // 16-bit byte sum of the whole blocks
};

enum class PreviewError {
    None,
    CannotOpen,          // systemError says why
    CannotRead,
    TooShort,            // fewer than four bytes: no product identifier
    BlockSizeTooLarge,   // a download refuses this block size
    NoMemory,            // the block buffers could not be allocated
};

// Reads `path` for a handset that announces `blockSize` and blank byte `blank`. On
// CannotOpen, *systemError holds errno.
PreviewError previewRelease(const char* path, int32_t blockSize, uint8_t blank,
                            ReleasePreview* preview, int* systemError);

#endif

// What a release file will send (see release_preview.h).
#include "engine/release_preview.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "engine/block_prep.h"
#include "engine/checksum.h"
#include "engine/engine_kit.h"
#include "engine/engine_state.h"
#include "engine/release_file.h"
#include "output/file_name.h"

namespace {

// Reads every whole block through prepareBlock and totals what the download would send.
// Expects the release file open at the image and the engine set up for the block size.
PreviewError readBlocks(Engine& engine, ReleasePreview& p)
{
    // Without a single whole block there is nothing to read, and no reason to allocate
    // buffers for a block size far larger than the file.
    if (p.fileBytes < 4 + static_cast<uint64_t>(p.blockSize))
        return PreviewError::None;
    if (!allocateBlockBuffers(engine))
        return PreviewError::NoMemory;
    int32_t result;
    while ((result = prepareBlock(engine)) != kBlockEndOfImage) {
        // prepareBlock keeps the CRC; the byte sum of the same block is taken alongside.
        addToByteSum(engine, engine.readBuffer, static_cast<uint32_t>(engine.blockSize));
        ++p.wholeBlocks;
        if (result == kBlockBlank) {
            ++p.blankBlocks;
        } else {
            ++p.writeFrames;
            p.wireBytes += preparedFrameLength(engine);
        }
    }
    return PreviewError::None;
}

PreviewError previewOpenFile(Engine& engine, const char* path, ReleasePreview& p)
{
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(pathOf(path), ec);
    const uint32_t idBytes = readImage(engine, p.productId, 4);
    if (ec || std::ferror(engine.releaseFile))
        return PreviewError::CannotRead;
    p.fileBytes = size;
    if (idBytes < 4)
        return PreviewError::TooShort;
    initEngine(engine, kModeNormal, kInitialSpeed, kInitialSpeed, 0);
    engine.checksumKind = kChecksumCrc;
    engine.blockSize = p.blockSize;
    engine.totalBlocks = 0;  // no progress bars here
    p.blocksShown = countBlocks(engine);
    p.unsentBytes = (size - 4) % static_cast<uint64_t>(p.blockSize);
    const PreviewError error = readBlocks(engine, p);
    if (error == PreviewError::None && std::ferror(engine.releaseFile))
        return PreviewError::CannotRead;
    p.crc = imageChecksum(engine);
    p.byteSum = engine.byteSum;
    return error;
}

}  // namespace

PreviewError previewRelease(const char* path, int32_t blockSize, uint8_t blank,
                            ReleasePreview* preview, int* systemError)
{
    Engine engine;  // this file's own: no download's variables, no result path
    *preview = ReleasePreview{};
    preview->blockSize = blockSize;
    BlockBufferSizes sizes;
    if (!blockBufferSizes(blockSize, &sizes))
        return PreviewError::BlockSizeTooLarge;
    errno = 0;
    if (!openReleaseFile(engine, path)) {
        *systemError = errno;
        return PreviewError::CannotOpen;
    }
    engine.blankByte = blank;
    const PreviewError error = previewOpenFile(engine, path, *preview);
    return error;  // the engine releases the buffers and closes the file
}

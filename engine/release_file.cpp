// Release file and parameter record (see release_file.h).
#include "engine/release_file.h"

#include <cstring>

#include "engine/engine_state.h"

namespace {

constexpr char kDownloadCode[] = "DOWNLD";

// Length of the open release file in bytes, or -1.
long releaseFileLength(Engine& engine)
{
    FILE* file = engine.releaseFile;
    const long position = std::ftell(file);
    if (position < 0 || std::fseek(file, 0, SEEK_END) != 0)
        return -1;
    const long length = std::ftell(file);
    std::fseek(file, position, SEEK_SET);
    return length;
}

}  // namespace

FILE* openReleaseFile(Engine& engine, const char* path)
{
    closeReleaseFile(engine);
    engine.releaseFile = std::fopen(path, "rb");
    return engine.releaseFile;
}

void closeReleaseFile(Engine& engine)
{
    if (engine.releaseFile) {
        std::fclose(engine.releaseFile);
        engine.releaseFile = nullptr;
    }
}

uint32_t readImage(Engine& engine, uint8_t* buffer, uint32_t n)
{
    if (!engine.releaseFile)
        return 0;
    return static_cast<uint32_t>(std::fread(buffer, 1, n, engine.releaseFile));
}

int64_t imageLength(Engine& engine)
{
    if (!engine.releaseFile)
        return -1;
    const long length = releaseFileLength(engine);
    return length < 4 ? -1 : static_cast<int64_t>(length) - 4;
}

int32_t countBlocks(Engine& engine)
{
    if (!engine.releaseFile || engine.blockSize < 1)
        return 0;
    const long length = releaseFileLength(engine);
    if (length < 0)
        return 0;
    const long long blocks = static_cast<long long>(length) / engine.blockSize;
    return blocks > INT32_MAX ? INT32_MAX : static_cast<int32_t>(blocks);
}

int32_t checkParameterRecord(Engine& engine)
{
    const uint8_t* record = engine.parameterRecord;
    if (std::memcmp(record + wire::kRecordCodeOffset, kDownloadCode, 6) != 0)
        return kRecordIncompatibleCode;

    switch (record[wire::kRecordProtocolOffset]) {
    case '0':
        if (engine.downloadMode != kModeEraseAndDownload)
            return kRecordNeedsErase;
        engine.checksumKind = kChecksumCrc;
        break;
    case '1':
        engine.checksumKind = kChecksumByteSum;
        break;
    default:
        return kRecordIncompatibleCode;
    }

    engine.blockSize = wire::recordBlockSize(record);
    if (engine.blockSize < 1)
        return kRecordIncompatibleCode;
    engine.blankByte = record[wire::kRecordBlankByteOffset];

    if (readImage(engine, engine.fileProductId, 4) < 4)
        return kRecordProductMismatch;
    return std::memcmp(record, engine.fileProductId, 4) == 0 ? kRecordValid
                                                             : kRecordProductMismatch;
}

// libFuzzer harness of the parameter record check: any 64-byte record against any release
// file gives one of the four outcomes, the outcome the rules give, and leaves behind exactly
// what the rules say (nothing after a failure in the download code, the block size and blank
// byte once they have been read, the file at the image's first block after success).
//
// Input: one byte for the download mode (0 to 3), the 64-byte record, then the release file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/engine_kit.h"
#include "engine/engine_state.h"
#include "engine/release_file.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

int32_t littleEndian(const uint8_t* p)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

// The outcome worked out from the record and the file directly.
int32_t expectedOutcome(int32_t mode, const uint8_t* record, const uint8_t* file, size_t length)
{
    if (std::memcmp(record + 16, "DOWNLD", 6) != 0)
        return kRecordIncompatibleCode;
    if (record[22] == '0' && mode != kModeEraseAndDownload)
        return kRecordNeedsErase;
    if ((record[22] != '0' && record[22] != '1') || littleEndian(record + 32) < 1)
        return kRecordIncompatibleCode;
    if (length < 4 || std::memcmp(record, file, 4) != 0)
        return kRecordProductMismatch;
    return kRecordValid;
}

FILE* releaseFileOf(const uint8_t* bytes, size_t length)
{
    FILE* file = std::tmpfile();
    require(file != nullptr);
    require(std::fwrite(bytes, 1, length, file) == length);
    std::rewind(file);
    return file;
}

// What the check leaves behind, against the values it found before it ran.
void checkLeftBehind(Engine& engine, int32_t outcome, const uint8_t* record, const uint8_t* file,
                     size_t length)
{
    const bool codeAccepted = std::memcmp(record + 16, "DOWNLD", 6) == 0 &&
                              (record[22] == '1' || (record[22] == '0' && engine.downloadMode == 0));
    if (!codeAccepted) {
        require(engine.checksumKind == 7 && engine.blockSize == -7 && engine.blankByte == 0x5A);
        require(std::ftell(engine.releaseFile) == 0);
        return;
    }
    require(engine.checksumKind == (record[22] == '0' ? kChecksumCrc : kChecksumByteSum));
    require(engine.blockSize == littleEndian(record + 32));
    if (engine.blockSize < 1) {
        require(engine.blankByte == 0x5A && std::ftell(engine.releaseFile) == 0);
        return;
    }
    require(engine.blankByte == record[41]);
    require(std::ftell(engine.releaseFile) == static_cast<long>(length < 4 ? length : 4));
    if (outcome != kRecordValid)
        return;
    require(std::memcmp(engine.fileProductId, file, 4) == 0);

    // The block count divides the whole file length and leaves the file where it was.
    require(countBlocks(engine) == static_cast<int32_t>(static_cast<long long>(length) / engine.blockSize));
    require(std::ftell(engine.releaseFile) == 4);
    uint8_t first[8];
    const size_t want = length - 4 < sizeof first ? length - 4 : sizeof first;
    require(readImage(engine, first, sizeof first) == want);
    require(std::memcmp(first, file + 4, want) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 + wire::kParameterRecordLength)
        return 0;
    const int32_t mode = data[0] & 3;
    const uint8_t* record = data + 1;
    const uint8_t* file = record + wire::kParameterRecordLength;
    const size_t length = size - 1 - wire::kParameterRecordLength;

    Engine engine;  // this input's own
    EngineLock lock(engine);
    engine.downloadMode = mode;
    engine.checksumKind = 7;  // values no check can leave, to see what it changed
    engine.blockSize = -7;
    engine.blankByte = 0x5A;
    std::memcpy(engine.parameterRecord, record, wire::kParameterRecordLength);
    engine.releaseFile = releaseFileOf(file, length);

    const int32_t outcome = checkParameterRecord(engine);
    require(outcome >= 0 && outcome <= 3);
    require(outcome == expectedOutcome(mode, record, file, length));
    if (outcome == kRecordValid)
        require(engine.blockSize >= 1 && std::memcmp(record, engine.fileProductId, 4) == 0);
    checkLeftBehind(engine, outcome, record, file, length);
    // A count is safe whatever the check left in the block size.
    require(countBlocks(engine) >= 0);

    closeReleaseFile(engine);
    return 0;
}

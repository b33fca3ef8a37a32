// The release file (open, read, count, close) and the parameter record check.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/release_file.h"
#include "tests/engine/temp_file.h"
#include "tests/support/scripted_line.h"

namespace {

struct Record {
    std::string id = "KM52";
    std::string code = "DOWNLD";
    char protocol = '1';
    uint8_t blockSize[4] = {0x00, 0x04, 0x00, 0x00};  // 1024, little-endian
    uint8_t blank = 0x00;

    void store() const
    {
        Engine& engine = ScriptedLine::current->engine;
        uint8_t* r = engine.parameterRecord;
        std::memset(r, 0xA5, wire::kParameterRecordLength);  // bytes the check must not read
        std::memcpy(r, id.data(), 4);
        std::memcpy(r + 16, code.data(), 6);
        r[22] = static_cast<uint8_t>(protocol);
        std::memcpy(r + 32, blockSize, 4);
        r[41] = blank;
    }
};

std::vector<uint8_t> image(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
}

// What the check leaves behind, to compare before and after a failed check.
struct Leftovers {
    int32_t checksumKind, blockSize;
    uint8_t blankByte;
    long filePosition;
};

Leftovers leftovers()
{
    Engine& engine = ScriptedLine::current->engine;
    return {engine.checksumKind, engine.blockSize, engine.blankByte,
            engine.releaseFile ? std::ftell(engine.releaseFile) : -1};
}

// Opens a release file of `id` + 8 image bytes in the given mode with marker values set, so
// that what the check changes shows.
class RecordCheck : public ::testing::Test {
protected:
    void openWith(const std::string& id, int32_t mode)
    {
        closeReleaseFile(engine);  // an open file cannot be removed on Windows
        file_ = std::make_unique<TempFile>(releaseBytes(id, image(8)));
        ASSERT_NE(openReleaseFile(engine, file_->path()), nullptr);
        engine.downloadMode = mode;
        engine.checksumKind = 7;
        engine.blockSize = -7;
        engine.blankByte = 0x77;
    }
    void TearDown() override { closeReleaseFile(engine); }
    std::unique_ptr<TempFile> file_;
    ScriptedLine line_;
    Engine& engine = line_.engine;
};

TEST_F(RecordCheck, CompatibleRecordTakesItsValuesAndLeavesTheFileAtTheImage)
{
    openWith("KM52", kModeNormal);
    Record record;
    record.store();
    EXPECT_EQ(checkParameterRecord(engine), kRecordValid);
    EXPECT_EQ(engine.checksumKind, kChecksumByteSum);
    EXPECT_EQ(engine.blockSize, 1024);
    EXPECT_EQ(engine.blankByte, 0x00);
    EXPECT_EQ(std::memcmp(engine.fileProductId, "KM52", 4), 0);
    uint8_t first = 0;
    EXPECT_EQ(readImage(engine, &first, 1), 1u);
    EXPECT_EQ(first, image(1)[0]);  // the byte at file offset 4
}

TEST_F(RecordCheck, ProtocolCharacterChoosesTheChecksum)
{
    for (int32_t mode : {kModeEraseAndDownload, kModeNormal, kModePatch}) {
        openWith("KM52", mode);
        Record record;
        record.protocol = '1';
        record.store();
        EXPECT_EQ(checkParameterRecord(engine), kRecordValid) << "mode " << mode;
        EXPECT_EQ(engine.checksumKind, kChecksumByteSum);
    }
    openWith("KM52", kModeEraseAndDownload);
    Record crc;
    crc.protocol = '0';
    crc.store();
    EXPECT_EQ(checkParameterRecord(engine), kRecordValid);
    EXPECT_EQ(engine.checksumKind, kChecksumCrc);
}

TEST_F(RecordCheck, WrongDownloadCodeChangesNothing)
{
    for (const char* code : {"downld", "DOWNLd", "XOWNLD"}) {
        openWith("KM52", kModeEraseAndDownload);
        Record record;
        record.code = code;
        record.store();
        const Leftovers before = leftovers();
        EXPECT_EQ(checkParameterRecord(engine), kRecordIncompatibleCode) << code;
        const Leftovers after = leftovers();
        EXPECT_EQ(after.checksumKind, before.checksumKind);
        EXPECT_EQ(after.blockSize, before.blockSize);
        EXPECT_EQ(after.blankByte, before.blankByte);
        EXPECT_EQ(after.filePosition, 0);
    }
    for (char protocol : {'2', 'P', '\0'}) {
        openWith("KM52", kModeEraseAndDownload);
        Record record;
        record.protocol = protocol;
        record.store();
        EXPECT_EQ(checkParameterRecord(engine), kRecordIncompatibleCode) << int(protocol);
        EXPECT_EQ(engine.checksumKind, 7);
        EXPECT_EQ(engine.blockSize, -7);
        EXPECT_EQ(std::ftell(engine.releaseFile), 0);
    }
}

TEST_F(RecordCheck, CrcProtocolOutsideEraseModeFailsBeforeTheBlockSize)
{
    for (int32_t mode : {kModeNormal, kModePatch}) {
        openWith("KM52", mode);
        Record record;
        record.protocol = '0';
        std::memset(record.blockSize, 0, 4);  // would be result 1 if it were looked at
        record.store();
        EXPECT_EQ(checkParameterRecord(engine), kRecordNeedsErase);
        EXPECT_EQ(engine.checksumKind, 7);
        EXPECT_EQ(engine.blockSize, -7);
        EXPECT_EQ(engine.blankByte, 0x77);
        EXPECT_EQ(std::ftell(engine.releaseFile), 0);
    }
}

TEST_F(RecordCheck, BlockSizeBelowOneIsStoredAndRefused)
{
    const uint8_t negative[4] = {0x00, 0x00, 0x00, 0x80};
    const uint8_t minusOne[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    const uint8_t zero[4] = {0x00, 0x00, 0x00, 0x00};
    const struct {
        const uint8_t* bytes;
        int32_t value;
    } cases[] = {{negative, INT32_MIN}, {minusOne, -1}, {zero, 0}};
    for (const auto& c : cases) {
        openWith("KM52", kModeNormal);
        Record record;
        std::memcpy(record.blockSize, c.bytes, 4);
        record.store();
        EXPECT_EQ(checkParameterRecord(engine), kRecordIncompatibleCode);
        EXPECT_EQ(engine.checksumKind, kChecksumByteSum);  // step 2 had run
        EXPECT_EQ(engine.blockSize, c.value);              // stored although refused
        EXPECT_EQ(engine.blankByte, 0x77);                 // step 4 had not
        EXPECT_EQ(std::ftell(engine.releaseFile), 0);
    }
}

TEST_F(RecordCheck, LargestBlockSizesPass)
{
    const uint8_t largest[4] = {0xFF, 0xFF, 0xFF, 0x7F};
    const uint8_t one[4] = {0x01, 0x00, 0x00, 0x00};
    for (const uint8_t* bytes : {largest, one}) {
        openWith("KM52", kModeNormal);
        Record record;
        std::memcpy(record.blockSize, bytes, 4);
        record.store();
        EXPECT_EQ(checkParameterRecord(engine), kRecordValid);
    }
    EXPECT_EQ(engine.blockSize, 1);
    openWith("KM52", kModeNormal);
    Record record;
    std::memcpy(record.blockSize, largest, 4);
    record.store();
    checkParameterRecord(engine);
    EXPECT_EQ(engine.blockSize, INT32_MAX);
    EXPECT_EQ(countBlocks(engine), 0);
}

TEST_F(RecordCheck, ProductMismatchLeavesEverythingStoredAndTheFileAdvanced)
{
    openWith("KM21", kModeNormal);
    Record record;
    record.blank = 0x42;
    record.store();
    EXPECT_EQ(checkParameterRecord(engine), kRecordProductMismatch);
    EXPECT_EQ(engine.checksumKind, kChecksumByteSum);
    EXPECT_EQ(engine.blockSize, 1024);
    EXPECT_EQ(engine.blankByte, 0x42);
    EXPECT_EQ(std::memcmp(engine.fileProductId, "KM21", 4), 0);
    EXPECT_EQ(std::ftell(engine.releaseFile), 4);
}

TEST_F(RecordCheck, FileShorterThanTheIdentifierIsAMismatch)
{
    TempFile shortFile(bytesOf("KM5"));
    ASSERT_NE(openReleaseFile(engine, shortFile.path()), nullptr);
    engine.downloadMode = kModeNormal;
    Record record;
    record.id = std::string("KM5\0", 4);  // would equal whatever a short read leaves behind
    record.store();
    std::memset(engine.fileProductId, 0, 4);
    EXPECT_EQ(checkParameterRecord(engine), kRecordProductMismatch);

    closeReleaseFile(engine);
    EXPECT_EQ(checkParameterRecord(engine), kRecordProductMismatch);  // no file at all
}

TEST(ReleaseFile, CountBlocksDividesTheWholeLength)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    const struct {
        size_t imageBytes;
        int32_t blockSize;
        int32_t blocks;
    } cases[] = {
        {3 * 1024, 1024, 3},        {3 * 1024 + 1019, 1024, 3}, {3 * 1024 + 1020, 1024, 4},
        {1000, 1024, 0},            {0, 1024, 0},               {0, 1, 4},
        {10, 2, 7},                 {3 * 1024, INT32_MAX, 0},
    };
    for (const auto& c : cases) {
        TempFile file(releaseBytes("KM52", image(c.imageBytes)));
        ASSERT_NE(openReleaseFile(engine, file.path()), nullptr);
        engine.blockSize = c.blockSize;
        EXPECT_EQ(countBlocks(engine), c.blocks) << c.imageBytes << " / " << c.blockSize;
        closeReleaseFile(engine);
    }
}

TEST(ReleaseFile, CountBlocksKeepsTheReadPositionAndSurvivesBadSizes)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    TempFile file(releaseBytes("KM52", image(100)));
    ASSERT_NE(openReleaseFile(engine, file.path()), nullptr);
    uint8_t id[4];
    ASSERT_EQ(readImage(engine, id, 4), 4u);
    engine.blockSize = 8;
    EXPECT_EQ(countBlocks(engine), 13);
    uint8_t next = 0;
    ASSERT_EQ(readImage(engine, &next, 1), 1u);
    EXPECT_EQ(next, image(1)[0]);
    for (int32_t bad : {0, -1, INT32_MIN}) {
        engine.blockSize = bad;
        EXPECT_EQ(countBlocks(engine), 0);
    }
    closeReleaseFile(engine);
    engine.blockSize = 8;
    EXPECT_EQ(countBlocks(engine), 0);  // nothing open
}

TEST(ReleaseFile, ReadImageReturnsWhatIsLeft)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    TempFile file(releaseBytes("KM52", image(6)));
    ASSERT_NE(openReleaseFile(engine, file.path()), nullptr);
    uint8_t buffer[16];
    EXPECT_EQ(readImage(engine, buffer, 4), 4u);
    EXPECT_EQ(readImage(engine, buffer, 16), 6u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), image(6));
    EXPECT_EQ(readImage(engine, buffer, 16), 0u);
    closeReleaseFile(engine);
    EXPECT_EQ(readImage(engine, buffer, 16), 0u);
}

// Result 1 is the session's to post (session_tests: MissingReleaseFilePostsResultOne); the
// file alone reports only that it is not open, so `tarvolo info` never meets a result.
TEST(ReleaseFile, MissingFileLeavesNothingOpenAndPostsNothing)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    EXPECT_EQ(openReleaseFile(engine, "/no/such/folder/missing.rel"), nullptr);
    EXPECT_TRUE(line.results.empty());
    EXPECT_EQ(engine.releaseFile, nullptr);
    closeReleaseFile(engine);  // does nothing
    closeReleaseFile(engine);
    EXPECT_TRUE(line.results.empty());
}

TEST(ReleaseFile, OpeningAnotherFileClosesTheFirst)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    TempFile first(releaseBytes("AAAA", image(4)));
    TempFile second(releaseBytes("BBBB", image(4)));
    ASSERT_NE(openReleaseFile(engine, first.path()), nullptr);
    ASSERT_NE(openReleaseFile(engine, second.path()), nullptr);
    uint8_t id[4];
    ASSERT_EQ(readImage(engine, id, 4), 4u);
    EXPECT_EQ(std::string(id, id + 4), "BBBB");
    EXPECT_TRUE(line.results.empty());
    closeReleaseFile(engine);
}

}  // namespace

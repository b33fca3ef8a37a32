// Image checksums: the CRC-16/X-25 table and check value, the byte sum, imageChecksum.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/checksum.h"
#include "engine/engine_kit.h"
#include "tests/support/scripted_line.h"

namespace {

uint16_t crcOf(const std::vector<uint8_t>& bytes)
{
    uint32_t acc = 0;
    crcInit(&acc);
    crcUpdate(&acc, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return static_cast<uint16_t>(crcFinal(acc));
}

// Bit-by-bit reference of the reflected CCITT step, independent of the table.
uint16_t tableEntryByBits(uint32_t i)
{
    for (int bit = 0; bit < 8; ++bit)
        i = (i & 1u) ? (i >> 1) ^ 0x8408u : i >> 1;
    return static_cast<uint16_t>(i);
}

static_assert(crcTable[0] == 0x0000 && crcTable[1] == 0x1189 && crcTable[128] == 0x8408 &&
                  crcTable[255] == 0x0F78,
              "the table is usable at compile time");

TEST(Crc, TableIsTheReflectedCcittTable)
{
    for (uint32_t i = 0; i < 256; ++i)
        ASSERT_EQ(crcTable[i], tableEntryByBits(i)) << "entry " << i;
}

TEST(Crc, CheckValueInOneCallOrSeveral)
{
    const std::vector<uint8_t> digits = bytesOf("123456789");
    EXPECT_EQ(crcOf(digits), 0x906E);

    for (size_t split = 0; split <= digits.size(); ++split) {
        uint32_t acc = 0;
        crcInit(&acc);
        crcUpdate(&acc, digits.data(), static_cast<uint32_t>(split));
        crcUpdate(&acc, digits.data() + split, 0);  // a zero length changes nothing
        crcUpdate(&acc, digits.data() + split, static_cast<uint32_t>(digits.size() - split));
        EXPECT_EQ(static_cast<uint16_t>(crcFinal(acc)), 0x906E) << "split at " << split;
        EXPECT_LT(acc, 0x10000u);
    }
    uint32_t acc = 0;
    crcInit(&acc);
    for (uint8_t b : digits)
        crcUpdate(&acc, &b, 1);
    EXPECT_EQ(static_cast<uint16_t>(crcFinal(acc)), 0x906E);
}

TEST(Crc, FinalComplementsWithoutChangingTheAccumulator)
{
    uint32_t acc = 0;
    crcInit(&acc);
    EXPECT_EQ(acc, 0xFFFFu);
    EXPECT_EQ(static_cast<uint16_t>(crcFinal(acc)), 0x0000);
    acc = 0x1234;
    EXPECT_EQ(static_cast<uint16_t>(crcFinal(acc)), 0xEDCB);
    EXPECT_EQ(acc, 0x1234u);
}

TEST(ByteSum, AddsModulo65536InAnyOrder)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    const std::vector<uint8_t> abc = bytesOf("abc");
    addToByteSum(engine, abc.data(), 3);
    EXPECT_EQ(engine.byteSum, 0x0126);
    addToByteSum(engine, abc.data(), 0);
    EXPECT_EQ(engine.byteSum, 0x0126);

    engine.byteSum = 0;
    const std::vector<uint8_t> ff(300, 0xFF);
    addToByteSum(engine, ff.data(), 300);
    EXPECT_EQ(engine.byteSum, 0x2AD4);  // 76500 mod 65536

    engine.byteSum = 0;
    const std::vector<uint8_t> cba = bytesOf("cba");
    addToByteSum(engine, cba.data(), 3);
    EXPECT_EQ(engine.byteSum, 0x0126);
}

TEST(ImageChecksum, FollowsTheKindAndIsRepeatable)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    initEngine(engine, kModeNormal, 19200, 19200, 0);
    engine.checksumKind = kChecksumCrc;
    EXPECT_EQ(imageChecksum(engine), 0x0000);  // 0xFFFF complemented
    engine.checksumKind = kChecksumByteSum;
    EXPECT_EQ(imageChecksum(engine), 0x0000);

    const std::vector<uint8_t> digits = bytesOf("123456789");
    crcUpdate(&engine.crcAccumulator, digits.data(), 9);
    addToByteSum(engine, digits.data(), 9);
    EXPECT_EQ(imageChecksum(engine), 0x01DD);  // '1' + ... + '9' = 477
    EXPECT_EQ(imageChecksum(engine), 0x01DD);
    engine.checksumKind = kChecksumCrc;
    EXPECT_EQ(imageChecksum(engine), 0x906E);
    EXPECT_EQ(imageChecksum(engine), 0x906E);
}

}  // namespace

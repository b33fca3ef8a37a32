// The handset's checksums, its trailing-blank rule, and the flash image it writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "handset/flash.h"

namespace {
std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }
}  // namespace

TEST(HandsetChecksum, KnownValuesOfBothKinds)
{
    ImageChecksum crc(true);
    crc.add(bytes("1234").data(), 4);
    crc.add(bytes("56789").data(), 5);
    EXPECT_EQ(crc.value(), 0x906E);
    EXPECT_EQ(ImageChecksum(true).value(), 0x0000);

    ImageChecksum sum(false);
    sum.add(bytes("abc").data(), 3);
    EXPECT_EQ(sum.value(), 0x0126);
    ImageChecksum blank(false);
    blank.addBlank(300);
    EXPECT_EQ(blank.value(), 0x2AD4);
}

TEST(HandsetChecksum, TrailingBlankBlocksAreFoundOnlyWhenTheyExplainTheHostsValue)
{
    Flash flash;
    flash.setBlockSize(32);
    flash.write(0, std::vector<uint8_t>(32, 0x12));
    for (bool crc : {false, true}) {
        const uint16_t two = flash.checksum(crc, 2);
        const uint16_t four = flash.checksum(crc, 4);
        ChecksumAnswer a = flash.answer(crc, 1, 0, 256, four);
        EXPECT_EQ(a.value, four);
        EXPECT_EQ(a.blocks, 4u);
        EXPECT_EQ(a.trailingBlank, 3u);
        a = flash.answer(crc, 1, 2, 256, four);   // --image-blocks 2: no search
        EXPECT_EQ(a.value, two);
        EXPECT_EQ(a.blocks, 2u);
        a = flash.answer(crc, 1, 0, 2, four);     // three trailing blank blocks are past the bound
        EXPECT_EQ(a.value, flash.checksum(crc, 1));
        EXPECT_EQ(a.trailingBlank, 0u);
    }
}

TEST(HandsetFlash, SavesWholeBlocksWithErasedOnesAsFF)
{
    Flash flash;
    flash.setBlockSize(4);
    flash.write(1, {1, 2, 3, 4});
    const std::string path = ::testing::TempDir() + "handset_flash.bin";
    ASSERT_EQ(flash.save(path, 3), "");
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, std::vector<uint8_t>({0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_NE(flash.save("/nonexistent-dir/x.bin", 1), "");
    std::remove(path.c_str());
}

// LHA archives: what is refused, and that damage anywhere in an archive is caught.
#include "tests/convert/convert_test_util.h"

namespace {

using namespace convert_test;

bool lhaSupported()
{
    return refusal("x.lzh", "").find("not supported in this build") == std::string::npos;
}

TEST(Lha, ArchivesThatHoldNoSingleBuildFileAreRefused)
{
    if (!lhaSupported())
        GTEST_SKIP() << "no LHA reader in this build";
    EXPECT_EQ(refusal("x.lzh", "not an archive"),
              "not an LHA archive, or an archive with no file in it");
    EXPECT_EQ(refusal("x.lzh", readText(fixture("two-files.lzh"))),
              "the archive holds more than one file (srec-s1.sre, srec-s2.mot); it must hold one "
              "build file");
    EXPECT_EQ(refusal("x.lzh", readText(fixture("nested.lzh"))),
              "lh7-level2.lzh: the extension .LZH is not a build file kind (inside an archive: REL, "
              "BIN, MOT, SRE or ABS)");
    // A reader error inside the member names the member.
    EXPECT_EQ(refusal("x.lzh", readText(fixture("lh0-level2.lzh")), 0x101),
              "srec-s1.sre: line 2: data at 0x100 lies below the base address 0x101");
}

TEST(Lha, EveryDamagedByteIsRefusedOrHarmless)
{
    if (!lhaSupported())
        GTEST_SKIP() << "no LHA reader in this build";
    for (const char* name : {"lh0-level2.lzh", "lh5-level0.lzh", "lh7-level2.lzh"}) {
        const std::string good = readText(fixture(name));
        const std::vector<uint8_t> expected = readBytes(fixture(std::string(name) + ".ref.bin"));
        const uint64_t base = std::string(name) == "lh5-level0.lzh" ? 0x8C010000 : 0x100;
        size_t refused = 0;
        for (size_t at = 0; at < good.size(); ++at) {
            std::string damaged = good;
            damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
            if (!refusal("x.lzh", damaged, base).empty())
                ++refused;
            else
                EXPECT_EQ(imageOfText("x.lzh", damaged, base), expected) << name << " at " << at;
        }
        EXPECT_GT(refused, good.size() / 2) << name;
    }
    // In a stored member only the CRC can tell.
    std::string stored = readText(fixture("lh0-level2.lzh"));
    stored[stored.size() - 100] ^= 0x01;
    EXPECT_EQ(refusal("x.lzh", stored, 0x100), "the archive is damaged: CRC mismatch");
}

}  // namespace

// ELF reading: files that are not what they claim are refused with a reason, never read
// beyond their end.
#include "tests/convert/convert_test_util.h"

namespace {

using namespace convert_test;

void putBig32(std::string& file, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        file[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

TEST(Elf, OtherFilesAreRefusedAsNotElf)
{
    EXPECT_EQ(refusal("x.abs", ""), "not an ELF file (an absolute file must be ELF)");
    EXPECT_EQ(refusal("x.abs", "S1060000010203F3\n"), "not an ELF file (an absolute file must be ELF)");
    EXPECT_EQ(refusal("x.abs", "\x7F" "ELF"), "the file is cut short");
    std::string file = readText(fixture("sh4-be.abs"));
    file[4] = 3;
    EXPECT_EQ(refusal("x.abs", file), "unknown ELF class 3");
    file[4] = 1;
    file[5] = 0;
    EXPECT_EQ(refusal("x.abs", file), "unknown ELF byte order 0");
}

TEST(Elf, HeadersThatPointOutsideTheFileAreRefused)
{
    // ELF32 big-endian, three program headers of 32 bytes at offset 52.
    const std::string good = readText(fixture("sh4-be.abs"));
    const uint64_t base = 0x8C010000;
    ASSERT_EQ(imageOfText("x.abs", good, base).size(), 0x323u);

    std::string file = good;
    file[44] = file[45] = 0;  // e_phnum = 0: an object file before linking
    EXPECT_EQ(refusal("x.abs", file, base),
              "no program headers: link the file into an executable first");

    file = good;
    putBig32(file, 28, 0xFFFFFFF0);  // e_phoff
    EXPECT_EQ(refusal("x.abs", file, base), "program headers lie beyond the end of the file");

    file = good;
    putBig32(file, 52 + 4, 0xFFFFFF00);  // first segment's p_offset
    EXPECT_EQ(refusal("x.abs", file, base), "segment 0 lies beyond the end of the file");

    file = good;
    putBig32(file, 52 + 16, 0x7FFFFFFF);  // first segment's p_filesz
    EXPECT_EQ(refusal("x.abs", file, base), "segment 0 lies beyond the end of the file");

    file = good;
    for (int i = 0; i < 3; ++i)
        putBig32(file, 52 + 32 * i, 6);  // every segment PT_PHDR instead of PT_LOAD
    EXPECT_EQ(refusal("x.abs", file, base), "no loadable segment");

    file = good;
    putBig32(file, 52 + 32 + 12, 0x8C010000);  // second segment onto the first, other bytes
    EXPECT_EQ(refusal("x.abs", file, base).substr(0, 30), "two parts of the file disagree");
}

}  // namespace

// Every fixture converts to exactly the image that the tool which made it produces.
#include "tests/convert/convert_test_util.h"

namespace {

using namespace convert_test;

struct Fixture {
    const char* name;
    uint64_t base;
};

const Fixture kFixtures[] = {
    {"sh4-be.abs", 0x8C010000},     {"sh4-le.abs", 0x8C010000},
    {"ppc64-be.abs", 0x8C010000},   {"x86_64-le.abs", 0x8C010000},
    {"objcopy-s3.mot", 0x8C010000}, {"srec-s1.sre", 0x0100},
    {"srec-s2.mot", 0x012000},      {"srec-s3.sre", 0x8C010000},
    {"lh0-level2.lzh", 0x0100},     {"lh5-level0.lzh", 0x8C010000},
    {"lh6-level1.lzh", 0x8C010000}, {"lh7-level2.lzh", 0},
};

bool isArchive(const std::string& name)
{
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".lzh") == 0;
}

TEST(ConvertFixtures, EachImageEqualsTheToolsOwnBinary)
{
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.name);
        const std::vector<uint8_t> source = readBytes(fixture(f.name));
        const std::vector<uint8_t> expected = readBytes(fixture(std::string(f.name) + ".ref.bin"));
        convert::ConvertOptions options;
        options.base = f.base;
        try {
            const auto image = convert::imageOf(f.name, {source.data(), source.size()}, options);
            EXPECT_EQ(image, expected);
        } catch (const convert::ConvertError& e) {
            if (isArchive(f.name) && std::string(e.what()).find("not supported in this build") !=
                                         std::string::npos)
                continue;  // the Windows build has no LHA reader
            ADD_FAILURE() << e.what();
        }
    }
}

TEST(ConvertFixtures, ABaseBelowTheDataLeadsWithErasedBytes)
{
    const std::vector<uint8_t> source = readBytes(fixture("srec-s1.sre"));
    const std::vector<uint8_t> expected = readBytes(fixture("srec-s1.sre.ref.bin"));
    convert::ConvertOptions options;  // base 0: the data starts 0x100 bytes in
    const auto image = convert::imageOf("X.SRE", {source.data(), source.size()}, options);
    ASSERT_EQ(image.size(), 0x100 + expected.size());
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 0x100),
              std::vector<uint8_t>(0x100, 0xFF));
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 0x100, image.end()), expected);
}

TEST(ConvertFixtures, EveryCutOfAnElfFileIsRefusedOrComplete)
{
    for (const char* name : {"sh4-be.abs", "ppc64-be.abs"}) {
        const std::vector<uint8_t> file = readBytes(fixture(name));
        const std::vector<uint8_t> whole = readBytes(fixture(std::string(name) + ".ref.bin"));
        convert::ConvertOptions options;
        options.base = 0x8C010000;
        for (size_t size = 0; size < file.size(); ++size) {
            SCOPED_TRACE(std::string(name) + " cut to " + std::to_string(size));
            try {
                EXPECT_EQ(convert::imageOf("x.abs", {file.data(), size}, options), whole);
            } catch (const convert::ConvertError&) {
            }
        }
    }
}

}  // namespace

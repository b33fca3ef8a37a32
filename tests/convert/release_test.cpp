// Writing release files: the identifier, the image, and that a failure leaves nothing behind.
#include <cstdlib>

#include "tests/convert/convert_test_util.h"

namespace {

using namespace convert_test;

std::string failureOf(const std::string& source, const std::string& release,
                      const convert::ConvertOptions& options = {})
{
    try {
        convert::convertFile(source, release, options);
    } catch (const convert::ConvertError& e) {
        return e.what();
    }
    return "";
}

TEST(Release, IdentifierThenImageForEachPlainKind)
{
    ScratchDir dir;
    writeBytes(dir.file("a.BIN"), std::string("\x00\x01\xFF", 3));
    convert::convertFile(dir.file("a.BIN"), dir.file("a.rel"), {});
    EXPECT_EQ(readText(dir.file("a.rel")), std::string("KM52\x00\x01\xFF", 7));

    convert::ConvertOptions options;
    options.productId = "AB12";
    convert::convertFile(dir.file("a.rel"), dir.file("b.rel"), options);  // identifier replaced
    EXPECT_EQ(readText(dir.file("b.rel")), std::string("AB12\x00\x01\xFF", 7));
    convert::convertFile(dir.file("b.rel"), dir.file("b.rel"), {});  // in place
    EXPECT_EQ(readText(dir.file("b.rel")), std::string("KM52\x00\x01\xFF", 7));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"a.BIN", "a.rel", "b.rel"}));
}

TEST(Release, RefusalsNameTheFileAndTheReason)
{
    ScratchDir dir;
    writeBytes(dir.file("a.bin"), "image");
    writeBytes(dir.file("empty.bin"), "");
    writeBytes(dir.file("short.rel"), "KM5");
    writeBytes(dir.file("a.hex"), ":00000001FF\n");
    convert::ConvertOptions shortId;
    shortId.productId = "KM5";
    EXPECT_EQ(failureOf(dir.file("a.bin"), dir.file("x.rel"), shortId),
              "--product-id: the product identifier \"KM5\" is 3 bytes long; it must be exactly 4");
    EXPECT_EQ(failureOf(dir.file("missing.bin"), dir.file("x.rel")).rfind(dir.file("missing.bin") +
                                                                          ": cannot open: ", 0),
              0u);
    EXPECT_EQ(failureOf(dir.file("empty.bin"), dir.file("x.rel")),
              dir.file("empty.bin") + ": holds no data for the image");
    EXPECT_EQ(failureOf(dir.file("short.rel"), dir.file("x.rel")),
              dir.file("short.rel") + ": too short for a release file (no product identifier)");
    EXPECT_EQ(failureOf(dir.file("a.hex"), dir.file("x.rel")),
              dir.file("a.hex") +
                  ": the extension .HEX is not a build file kind (REL, BIN, MOT, SRE, ABS or LZH)");
    convert::ConvertOptions small;
    small.limit = 4;
    EXPECT_EQ(failureOf(dir.file("a.bin"), dir.file("x.rel"), small),
              dir.file("a.bin") + ": larger than an image may be");
    EXPECT_EQ(failureOf(dir.file("a.bin"), dir.file("no-such-dir/x.rel"))
                  .rfind(dir.file("no-such-dir/x.rel") + ": cannot create ", 0),
              0u);
    EXPECT_EQ(dir.names(),
              (std::vector<std::string>{"a.bin", "a.hex", "empty.bin", "short.rel"}));
}

TEST(Release, AFailedConversionLeavesTheOldReleaseUntouched)
{
    ScratchDir dir;
    writeBytes(dir.file("old.rel"), "KM52old image");
    writeBytes(dir.file("bad.sre"), "S1060000010203F3\nS1060004AABBCCC5\n");
    EXPECT_EQ(failureOf(dir.file("bad.sre"), dir.file("old.rel")),
              dir.file("bad.sre") + ": line 2: bad checksum");
    EXPECT_EQ(readText(dir.file("old.rel")), "KM52old image");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"bad.sre", "old.rel"}));
}

#ifndef _WIN32
// The tool itself: exit status and message, as the batch file and the operator see them.
TEST(Release, TheCommandExitsNonZeroWithTheFileAndReason)
{
    ScratchDir dir;
    const std::string out = dir.file("out.txt");
    const std::string tool = TARVOLO_CLI;
    const std::string good = tool + " convert " + fixture("srec-s3.sre") + " " + dir.file("s3.rel") +
                             " --base 0x8C010000 --product-id XY99 >" + out + " 2>&1";
    ASSERT_EQ(std::system(good.c_str()), 0) << readText(out);
    const std::vector<uint8_t> release = readBytes(dir.file("s3.rel"));
    const std::vector<uint8_t> reference = readBytes(fixture("srec-s3.sre.ref.bin"));
    ASSERT_EQ(release.size(), 4 + reference.size());
    EXPECT_EQ(std::string(release.begin(), release.begin() + 4), "XY99");
    EXPECT_TRUE(std::equal(reference.begin(), reference.end(), release.begin() + 4));

    const std::string far = tool + " convert " + fixture("srec-s3.sre") + " " +
                            dir.file("far.rel") + " >" + out + " 2>&1";
    EXPECT_NE(std::system(far.c_str()), 0);
    EXPECT_EQ(readText(out), "tarvolo convert: " + fixture("srec-s3.sre") +
                                 ": line 2: data at 0x8C010000 would make the image larger than "
                                 "256.0 MiB (is the base address right? it is 0x0)\n");
    const std::string badBase = tool + " convert a.bin b.rel --base 12z >" + out + " 2>&1";
    EXPECT_NE(std::system(badBase.c_str()), 0);
    EXPECT_EQ(readText(out), "tarvolo convert: --base: not an address: 12z\n");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"out.txt", "s3.rel"}));
}
#endif

}  // namespace

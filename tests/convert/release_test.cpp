// Writing release files: the identifier, the image, and that a failure leaves nothing behind.
#include <sys/stat.h>

#include <cstdlib>
#include <utility>

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

// The build file is never the output, however its path is spelt (on Windows too, where the
// file's identity is its volume and index).
TEST(Release, TheBuildFileItselfIsNeverReplaced)
{
    ScratchDir dir;
    const std::string sre = "S1060000010203F3\nS9030000FC\n";
    writeBytes(dir.file("a.sre"), sre);
    fs::create_directory(dir.file("sub"));
    fs::create_hard_link(dir.file("a.sre"), dir.file("hard.sre"));
    for (const std::string& same : {dir.file("a.sre"), dir.file("hard.sre"), dir.file("sub/../a.sre")})
        EXPECT_EQ(failureOf(dir.file("a.sre"), same),
                  same + ": is the build file " + dir.file("a.sre") + " itself; not replaced");
    EXPECT_EQ(readText(dir.file("a.sre")), sre);
    EXPECT_EQ(failureOf(dir.file("a.sre"), dir.file("a.rel")), "");
}

#ifndef _WIN32
// Whatever the output names, only a regular file is replaced, never the build file itself;
// a symbolic link keeps pointing at the release file it names.
TEST(Release, OutputsThatAreNotReleaseFilesAreLeftAlone)
{
    ScratchDir dir;
    const std::string sre = "S1060000010203F3\nS9030000FC\n";
    writeBytes(dir.file("a.sre"), sre);
    ASSERT_EQ(::mkfifo(dir.file("out.fifo").c_str(), 0644), 0);
    fs::create_directory(dir.file("folder.rel"));
    EXPECT_EQ(failureOf(dir.file("a.sre"), dir.file("out.fifo")),
              dir.file("out.fifo") + ": not a regular file (a device, FIFO or folder); not replaced");
    EXPECT_EQ(failureOf(dir.file("a.sre"), dir.file("folder.rel")),
              dir.file("folder.rel") + ": not a regular file (a device, FIFO or folder); not replaced");
    EXPECT_TRUE(fs::is_fifo(dir.file("out.fifo")));

    fs::create_symlink("a.sre", dir.file("soft.sre"));
    EXPECT_EQ(failureOf(dir.file("a.sre"), dir.file("soft.sre")),
              dir.file("soft.sre") + ": is the build file " + dir.file("a.sre") + " itself; not replaced");
    EXPECT_EQ(readText(dir.file("a.sre")), sre);

    fs::create_symlink("target.rel", dir.file("link.rel"));
    convert::convertFile(dir.file("a.sre"), dir.file("link.rel"), {});
    EXPECT_TRUE(fs::is_symlink(dir.file("link.rel")));
    EXPECT_EQ(readText(dir.file("target.rel")), std::string("KM52\x01\x02\x03", 7));
}

// Padding to whole blocks, and what a conversion reports without failing.
TEST(Release, PaddingAndTheReport)
{
    ScratchDir dir;
    writeBytes(dir.file("a.bin"), "12345");
    convert::ConvertReport report;
    convert::ConvertOptions options;
    options.blockSize = 4;
    options.blank = 0x00;
    options.report = &report;
    EXPECT_EQ(convert::convertFile(dir.file("a.bin"), dir.file("a.rel"), options), 8u);
    EXPECT_EQ(readText(dir.file("a.rel")), std::string("KM5212345\0\0\0", 12));
    EXPECT_EQ((std::pair<size_t, size_t>{report.imageBytes, report.paddingBytes}),
              (std::pair<size_t, size_t>{5, 3}));
    EXPECT_FALSE(report.srecordsWithoutEnd);

    // Cut after a whole line: no end record, the last address read is named.
    writeBytes(dir.file("cut.sre"), "S1060000010203F3\nS1060003040506E7\n");
    report = {};
    options = {};
    options.report = &report;
    convert::convertFile(dir.file("cut.sre"), dir.file("cut.rel"), options);
    EXPECT_TRUE(report.srecordsWithoutEnd);
    EXPECT_EQ(report.lastAddressRead, 5u);
}

// A file cut at a line boundary converts, but the tool says so and names where it stops.
TEST(Release, TheCommandWarnsOfACutSRecordFile)
{
    ScratchDir dir;
    writeBytes(dir.file("cut.sre"), "S1060000010203F3\nS1060003040506E7\n");
    const std::string out = dir.file("out.txt");
    const std::string tool = TARVOLO_CLI;
    const std::string json = tool + " convert --json " + dir.file("cut.sre") + " " +
                             dir.file("cut.rel") + " >" + out;
    ASSERT_EQ(std::system(json.c_str()), 0);
    const std::string warning = dir.file("cut.sre") + " has no end record (S7, S8 or S9): it may "
                                "have been cut short; the last address read is 0x5";
    EXPECT_NE(readText(out).find("\"last_address_read\":5"), std::string::npos) << readText(out);
    EXPECT_NE(readText(out).find(warning), std::string::npos) << readText(out);
    const std::string plain = tool + " convert " + dir.file("cut.sre") + " " + dir.file("cut.rel") +
                              " 2>" + out + " >/dev/null";
    ASSERT_EQ(std::system(plain.c_str()), 0);
    EXPECT_NE(readText(out).find("tarvolo convert: warning: " + warning + "\n"), std::string::npos)
        << readText(out);
}

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

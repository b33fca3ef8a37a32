// S-record reading: what a damaged or inconsistent file must be refused for, and where.
#include "tests/convert/convert_test_util.h"

namespace {

using namespace convert_test;

// A good file: header, two data records (16-bit), count, end.
const char* const kGood =
    "S00600004844521B\n"
    "S1060000010203F3\n"
    "S1060004AABBCCC4\n"
    "S5030002FA\n"
    "S9030000FC\n";

TEST(SRecords, ReadsDataRecordsOfEachAddressWidth)
{
    EXPECT_EQ(imageOfText("a.sre", kGood), bytesOf("\x01\x02\x03\xFF\xAA\xBB\xCC"));
    // The same bytes with 24- and 32-bit addresses, lower case and CRLF.
    EXPECT_EQ(imageOfText("a.mot", "S207010000010203F1\r\nS804010000FA\r\n", 0x010000),
              bytesOf("\x01\x02\x03"));
    EXPECT_EQ(imageOfText("a.mot", "S30800000000010203f1\nS70500000000fa\n"), bytesOf("\x01\x02\x03"));
}

TEST(SRecords, DamagedRecordsAreRefusedWithTheirLineNumber)
{
    struct Case {
        const char* line;
        const char* reason;
    } cases[] = {
        {"S1060004AABBCCC5", "line 4: bad checksum"},
        {"S1070004AABBCCC4", "line 4: the count says 7 bytes, the record holds 6"},
        {"S1060004AABBCGC4", "line 4: not a hex digit"},
        {"S1060004AABBCCC", "line 4: odd number of hex digits"},
        {"S4060004AABBCCC4", "line 4: unknown record type S4"},
        {"1060004AABBCCC4", "line 4: not an S-record"},
        {"S102FEFF", "line 4: record too short for its address"},
    };
    for (const Case& c : cases) {
        const std::string text = std::string("S00600004844521B\n\nS1060000010203F3\n") + c.line + "\n";
        EXPECT_EQ(refusal("a.sre", text), c.reason) << c.line;
    }
}

TEST(SRecords, CountAndEndRecordsMustAgreeWithTheFile)
{
    EXPECT_EQ(refusal("a.sre", "S1060000010203F3\nS5030002FA\n"),
              "line 2: the count record says 2 data records, the file has 1");
    EXPECT_EQ(refusal("a.sre", "S1060000010203F3\nS9030000FC\nS1060004AABBCCC4\n"),
              "line 3: record after the end record");
}

TEST(SRecords, OverlappingRecordsMustAgree)
{
    // 0x0002..0x0004 written twice with the same bytes: fine.
    EXPECT_EQ(imageOfText("a.sre", "S1060000010203F3\nS1060002030405EB\n"),
              bytesOf("\x01\x02\x03\x04\x05"));
    EXPECT_EQ(refusal("a.sre", "S1060000010203F3\nS10600027E040570\n").substr(0, 44),
              "two parts of the file disagree about the byt");
    EXPECT_NE(refusal("a.sre", "S1060002030405EB\nS1060000010209ED\n").find("at 0x2"),
              std::string::npos);
}

TEST(SRecords, FarAddressesAreRefusedBeforeTheImageIsBuilt)
{
    // 32-bit record at 0x80000000 with base 0: a 2 GiB image.
    const std::string far = "S3088000000001020371\n";
    const std::string reason = refusal("a.sre", far);
    EXPECT_NE(reason.find("line 1: data at 0x80000000 would make the image larger than 256.0 MiB"),
              std::string::npos)
        << reason;
    EXPECT_EQ(imageOfText("a.sre", far, 0x80000000), bytesOf("\x01\x02\x03"));
    EXPECT_EQ(refusal("a.sre", far, 0x80000001),
              "line 1: data at 0x80000000 lies below the base address 0x80000001");

    convert::ImageBuilder builder(0, 16);
    const uint8_t byte = 0;
    EXPECT_THROW(builder.add(16, &byte, 1), convert::ConvertError);  // at add, not at build
    EXPECT_NO_THROW(builder.add(15, &byte, 1));
}

}  // namespace

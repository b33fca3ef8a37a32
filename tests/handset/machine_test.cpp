// The handset's protocol machine fed host frames: timing of the answers, the parameter record
// and the speed switch, whole downloads with both checksums, and the host's violations.
#include <gtest/gtest.h>

#include "machine_harness.h"

TEST(HandsetTiming, AnswersNoSoonerThanTheFrameLineTimePlusTurnaround)
{
    HostSide host;
    host.send(str("<i"));
    // Two bytes at 19200 bit/s take 2 x 521 us; then 2 ms of turnaround.
    host.run(3000);
    EXPECT_TRUE(host.take().empty());
    host.run(200);
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_GE(host.sent[0].startUs, 2 * 521 + 2000);
    EXPECT_EQ(host.sent[0].speed, 19200u);
    EXPECT_EQ(host.take(), str(">i"));

    // A write frame written at once still counts its whole line time: 1028 bytes at 115200
    // take 89236 us.
    host.connect('0');
    host.send(str("<e"));
    host.run(400000);
    host.take();
    host.send(writeFrame(0, Bytes(1024, 0x11)));
    host.run(89236 + 1900);
    EXPECT_TRUE(host.take().empty());
    host.run(400);
    EXPECT_EQ(host.take(), Bytes({'>', 'w', 0, 0}));
}

TEST(HandsetTiming, EachRepeatedInquiryGetsOneAnswer)
{
    HostSide host;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(host.exchange(str("<i"), 10000), str(">i"));
    // Two inquiries before the first answer has gone: one answer serves both.
    host.send(str("<i"));
    host.run(500);
    host.send(str("<i"));
    host.run(10000);
    EXPECT_EQ(host.take(), str(">i"));
    EXPECT_EQ(host.m().report().frames.at("inquiry"), 5u);
}

TEST(HandsetRecord, AnInquiryAnswerStillDueGoesOutAtTheOldSpeed)
{
    HostSide host;
    host.send(str("<i"));
    host.run(500);
    host.send({'<', 'p', '0', 0xFF});
    host.run(10000);
    host.speed = 115200;
    host.run(30000);
    ASSERT_EQ(host.sent.size(), 2u);
    EXPECT_EQ(host.sent[0].speed, 19200u);
    EXPECT_EQ(host.sent[1].speed, 115200u);
    EXPECT_EQ(host.sent[1].bytes.size(), 66u);
}

TEST(HandsetRecord, CarriesTheConfiguredFieldsAtTheNewSpeed)
{
    HostSide host;
    host.options.productId = "AB";
    host.options.protocol = '0';
    host.options.blockSize = 4096;
    host.options.blank = 0x00;
    host.exchange(str("<i"));
    host.send({'<', 'p', '1', 0xFF});
    host.run(10000);
    host.speed = 57600;
    host.run(9000);
    EXPECT_TRUE(host.sent.empty()) << "the record is due 20 ms after the request's line time";
    host.run(20000);
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0].speed, 57600u);
    const Bytes r = host.take();
    ASSERT_EQ(r.size(), 66u);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 2), str(">p"));
    EXPECT_EQ(Bytes(r.begin() + 2, r.begin() + 6), Bytes({'A', 'B', 0, 0}));
    EXPECT_EQ(Bytes(r.begin() + 18, r.begin() + 25), str("DOWNLD0"));
    EXPECT_EQ(Bytes(r.begin() + 34, r.begin() + 38), Bytes({0x00, 0x10, 0x00, 0x00}));
    EXPECT_EQ(r[43], 0x00);
    const SpeedSwitch& s = host.m().report().switches.at(0);
    EXPECT_TRUE(s.answered);
    EXPECT_GE(s.hostSwitchedAfterMs, 7.0);
    EXPECT_LE(s.hostSwitchedAfterMs, 11.0);
}

TEST(HandsetRecord, WithheldFromAHostThatDidNotSwitchUntilItRetriesAtTheInitialSpeed)
{
    HostSide host;
    host.exchange(str("<i"));
    host.send({'<', 'p', '0', 0xFF});
    host.run(20000 + 200000 + 5000);   // the wait, the grace for a late switch, and a little more
    EXPECT_TRUE(host.take().empty());
    EXPECT_TRUE(host.violated("did not switch to 115200"));
    EXPECT_FALSE(host.m().report().switches.at(0).answered);
    // The host's retry of the request at the initial speed is heard.
    host.send({'<', 'p', '0', 0xFF});
    host.run(10000);
    host.speed = 115200;
    host.run(30000);
    EXPECT_EQ(host.take().size(), 66u);
    EXPECT_EQ(host.m().report().retries.at("parameter"), 1u);
    // Any other frame at 19200 is noise to the handset, now at 115200.
    host.speed = 19200;
    EXPECT_TRUE(host.exchange(str("<e")).empty());
    EXPECT_TRUE(host.violated("'<e' heard at 19200"));
}

namespace {

// Sends the blocks not blank, then the host's checksum over all of them; returns the answer.
Bytes download(HostSide& host, const std::vector<Bytes>& blocks, bool erase)
{
    host.connect('0');
    if (erase) {
        EXPECT_EQ(host.exchange(str("<e"), 400000), str(">e"));
    }
    for (size_t n = 0; n < blocks.size(); ++n) {
        if (std::all_of(blocks[n].begin(), blocks[n].end(), [](uint8_t b) { return b == 0xFF; }))
            continue;
        const Bytes ack = host.exchange(writeFrame(static_cast<uint16_t>(n), blocks[n]), 200000);
        EXPECT_EQ(ack, Bytes({'>', 'w', 0, static_cast<uint8_t>(n)}));
    }
    return host.exchange(checksumFrame(hostChecksum(host.options.protocol == '0', blocks)));
}

Bytes pattern(size_t size, uint8_t seed)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

}  // namespace

TEST(HandsetDownload, ByteSumOverRawBlocksCountsBlankOnesIncludingTrailingOnes)
{
    HostSide host;
    host.options.blockSize = 64;
    const std::vector<Bytes> image = {pattern(64, 1), Bytes(64, 0xFF), pattern(64, 9), Bytes(64, 0xFF),
                                      Bytes(64, 0xFF)};
    const uint16_t expected = hostChecksum(false, image);
    EXPECT_EQ(download(host, image, false), Bytes({'>', 'c', static_cast<uint8_t>(expected >> 8),
                                                   static_cast<uint8_t>(expected)}));
    host.run(10000);
    const DownloadRecord& d = host.m().report().downloads.at(0);
    EXPECT_EQ(d.outcome, "completed");
    EXPECT_EQ(d.trailingBlankBlocks, 2u);
    EXPECT_EQ(host.m().downloadsEnded(), 1u);
    EXPECT_EQ(host.m().flashOutBlocks(), 5u);
    EXPECT_EQ(host.m().flash().block(1), Bytes(64, 0xFF));
    EXPECT_EQ(host.m().flash().block(2), image[2]);
    EXPECT_EQ(host.m().report().violationCount, 0u);
    EXPECT_EQ(host.m().speed(), 19200u) << "a finished download leaves the handset at the initial speed";
}

TEST(HandsetDownload, ImageBlocksFixesTheChecksumExtent)
{
    HostSide host;
    host.options.blockSize = 64;
    host.options.imageBlocks = 3;   // the host's image really has 4 blocks: a mismatch must show
    const std::vector<Bytes> image = {pattern(64, 1), pattern(64, 2), Bytes(64, 0xFF), Bytes(64, 0xFF)};
    const Bytes answer = download(host, image, false);
    const uint16_t own = hostChecksum(false, {image[0], image[1], image[2]});
    EXPECT_EQ(answer, Bytes({'>', 'c', static_cast<uint8_t>(own >> 8), static_cast<uint8_t>(own)}));
    EXPECT_EQ(host.m().report().downloads.at(0).outcome, "checksum mismatch");
    EXPECT_EQ(host.m().downloadsEnded(), 0u);
    EXPECT_EQ(host.exchange(str("<a")), str(">a"));
    EXPECT_EQ(host.m().downloadsEnded(), 1u);
    EXPECT_EQ(host.m().report().downloads.at(0).outcome, "aborted");
}

TEST(HandsetDownload, CrcOverRunLengthEncodedBlocksAfterTheErase)
{
    HostSide host;
    host.options.protocol = '0';
    host.options.blockSize = 8;
    host.options.blank = 0x00;
    // 41 x4, 00, 42 42 FF  /  00 x3, 43 x5
    const std::vector<Bytes> image = {{0x41, 0x41, 0x41, 0x41, 0x00, 0x42, 0x42, 0xFF},
                                      {0x00, 0x00, 0x00, 0x43, 0x43, 0x43, 0x43, 0x43}};
    host.connect('2');
    EXPECT_EQ(host.exchange(str("<e"), 400000), str(">e"));
    EXPECT_EQ(host.exchange(writeFrame(0, {0x00, 0x41, 0x04, 0x00, 0x00, 0x42, 0x42, 0xFF})), Bytes({'>', 'w', 0, 0}));
    EXPECT_EQ(host.exchange(writeFrame(1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x43, 0x05})),
              Bytes({'>', 'w', 0, 1}));
    const uint16_t crc = hostChecksum(true, image);
    EXPECT_EQ(host.exchange(checksumFrame(crc)), Bytes({'>', 'c', static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)}));
    EXPECT_EQ(host.m().flash().block(0), image[0]);
    EXPECT_EQ(host.m().flash().block(1), image[1]);
    EXPECT_EQ(host.m().report().downloads.at(0).outcome, "completed");
    EXPECT_EQ(host.m().report().violationCount, 0u);
}

TEST(HandsetViolations, ReportsWhatTheProtocolDoesNotAllow)
{
    HostSide host;
    host.options.protocol = '0';
    host.options.blockSize = 4;
    host.exchange(str("<e"));
    EXPECT_TRUE(host.violated("'<e' before the parameter record was sent"));
    host.exchange(str("<x"));
    EXPECT_TRUE(host.violated("unknown command '<' 0x78"));
    host.exchange(str("zz<i"));
    EXPECT_TRUE(host.violated("2 byte(s) outside any command frame: 7A 7A"));
    host.connect('0');
    host.exchange(writeFrame(0, {1, 2, 3, 4}));
    EXPECT_TRUE(host.violated("block 0 written before the erase"));
    host.exchange(writeFrame(3, {0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(host.violated("block 3 is blank"));
    host.exchange(writeFrame(1, {1, 2, 3, 4}));
    EXPECT_TRUE(host.violated("block 1 sent after block 3"));
    host.send({'<', 'w', 0});
    host.run(1100000);
    EXPECT_TRUE(host.violated("incomplete '<w' frame abandoned after 3 bytes"));
    host.send(str("<e"));
    host.run(1000);
    host.exchange(str("<e"), 400000);
    EXPECT_TRUE(host.violated("'<e' arrived before the answer to the previous frame had been sent"));
    host.send({'<', 'c', 0});
    host.send({'<', 'a'});   // taken as the checksum's last byte, then stray
    host.run(30000);
    EXPECT_TRUE(host.violated("1 byte(s) outside any command frame: 61"));
}

TEST(HandsetViolations, RepeatedFramesAreCountedAsRetries)
{
    HostSide host;
    host.connect('4');
    host.exchange(str("<e"), 400000);
    host.exchange(str("<e"), 400000);
    host.exchange(writeFrame(0, Bytes(1024, 1)));
    host.exchange(writeFrame(0, Bytes(1024, 1)), 200000);
    host.exchange(writeFrame(1, Bytes(1024, 1)), 200000);
    const Report& r = host.m().report();
    EXPECT_EQ(r.retries.at("erase"), 1u);
    EXPECT_EQ(r.retries.at("write"), 1u);
    EXPECT_EQ(r.frames.at("write"), 3u);
}

TEST(HandsetViolations, AnInquiryAtTheInitialSpeedStartsTheHandsetOver)
{
    HostSide host;
    host.connect('0');
    host.speed = 19200;   // a new host session, the old one killed mid-download
    EXPECT_EQ(host.exchange(str("<i")), str(">i"));
    EXPECT_EQ(host.m().report().restarts, 1u);
    EXPECT_EQ(host.m().report().downloads.at(0).outcome, "abandoned: the host started over");
    EXPECT_EQ(host.m().downloadsEnded(), 0u);
}

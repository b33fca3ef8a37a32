// Whole downloads from the first inquiry to result 0: every mode with a transfer, both
// checksum kinds, raw and encoded frames, single and gang; what the handset would have
// written must be the image, block for block.
#include <gtest/gtest.h>

#include "download_steps.h"

namespace {

using steps::frameOf;

struct Road {
    int32_t mode;
    char protocol;    // '0' CRC (erase and download only), '1' byte sum
    uint8_t blank;    // 0xFF raw frames, otherwise the escape byte
    int32_t gang;
    int32_t speed;
};

std::string describe(const Road& r)
{
    return "mode " + std::to_string(r.mode) + " protocol " + r.protocol + " blank " +
           std::to_string(r.blank) + " gang " + std::to_string(r.gang);
}

constexpr int32_t kBlock = 64;

// Six whole blocks (the second blank) and a short tail that is never sent.
std::vector<std::vector<uint8_t>> testBlocks()
{
    std::vector<std::vector<uint8_t>> blocks;
    for (uint32_t i = 0; i < 6; ++i)
        blocks.push_back(i == 1 ? steps::blankBlock(kBlock) : steps::dataBlock(kBlock, i));
    blocks[4].assign(kBlock, 0x00);  // all escape bytes when the blank byte is 0x00
    return blocks;
}

TEST(Download, EveryRoadWritesTheImageAndCompletes)
{
    const Road roads[] = {
        {kModeEraseAndDownload, '0', 0xFF, 0, 115200}, {kModeEraseAndDownload, '0', 0x00, 0, 57600},
        {kModeEraseAndDownload, '1', 0xFF, 0, 38400},  {kModeEraseAndDownload, '1', 0x00, 1, 19200},
        {kModeEraseAndDownload, '0', 0x00, 1, 115200}, {kModeNormal, '1', 0xFF, 0, 115200},
        {kModeNormal, '1', 0x00, 1, 57600},
    };
    const auto blocks = testBlocks();
    std::vector<uint8_t> image, counted;
    for (const auto& b : blocks) {
        image.insert(image.end(), b.begin(), b.end());
        counted.insert(counted.end(), b.begin(), b.end());
    }
    image.insert(image.end(), {1, 2, 3, 4, 5});  // short tail: neither sent nor counted

    for (const Road& road : roads) {
        SCOPED_TRACE(describe(road));
        ScriptedLine line;
        Engine& engine = line.engine;
        loadReleaseFile(engine, "KM52", image);
        steps::begin(engine, road.mode, road.speed, road.gang);
        line.txEmpty();
        line.receive(std::string("\x00\xFF>i", 4));
        if (road.gang) {
            EXPECT_EQ(line.continueEnabled, 1);
            line.txEmpty();
            line.receive(">i");
            pressContinue(engine);
        }
        steps::giveRecord(line, parameterRecord("KM52", road.protocol, kBlock, road.blank));
        EXPECT_EQ(engine.totalBlocks, 6);
        if (road.mode == kModeEraseAndDownload) {
            EXPECT_EQ(line.frames.back().bytes, bytesOf("<e"));
            line.txEmpty();
            line.receive(">e");
        }
        const auto written = steps::ackAll(line, road.blank);

        // Every block but the blank one, in order, as the image has it.
        ASSERT_EQ(written.size(), 5u);
        for (const auto& [number, data] : written)
            EXPECT_EQ(data, blocks.at(number)) << "block " << number;
        int writes = 0;
        for (const SentFrame& f : line.frames) {
            EXPECT_GE(f.bytes.size(), 2u);  // nothing written without a frame
            if (steps::isWriteFrame(f)) {
                ++writes;
                EXPECT_EQ(f.speed, road.speed == 19200 ? 19200u : uint32_t(road.speed));
            }
        }
        EXPECT_EQ(writes, 5);
        // Before each read, blank and end included: percent below, hundredths above.
        std::vector<int32_t> overall, fine;
        for (const StatusEvent& e : line.events) {
            if (e.kind == StatusEvent::Overall)
                overall.push_back(e.value);
            if (e.kind == StatusEvent::Fine)
                fine.push_back(e.value);
        }
        ASSERT_GE(overall.size(), 8u);
        EXPECT_EQ(std::vector<int32_t>(overall.end() - 8, overall.end()),
                  (std::vector<int32_t>{0, 0, 16, 33, 50, 66, 83, 100}));
        EXPECT_EQ(fine, (std::vector<int32_t>{0, 66, 33, 0, 66, 33, 0}));

        const uint16_t sum = road.protocol == '0' ? steps::crcX25(counted) : steps::byteSum(counted);
        const std::vector<uint8_t> checksumFrame = frameOf("<c", {uint8_t(sum >> 8), uint8_t(sum)});
        ASSERT_EQ(line.frames.back().bytes, checksumFrame);
        line.txEmpty();
        line.receive(frameOf(">c", {uint8_t(sum >> 8), uint8_t(sum)}));
        EXPECT_EQ(line.results, std::vector<int32_t>{0});
        char hex[5];
        std::snprintf(hex, sizeof hex, "%04X", sum);
        EXPECT_NE(line.line(kAdviceLine).find(std::string("Checksum ") + hex), std::string::npos);
        EXPECT_EQ(engine.releaseFile, nullptr);
        EXPECT_EQ(engine.frameBuffer, nullptr);
    }
}

TEST(Download, SecondDownloadStartsCleanAfterTheFirst)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    for (int run = 0; run < 2; ++run) {
        const auto block = steps::dataBlock(256, static_cast<uint32_t>(run));
        loadReleaseFile(engine, "KM52", block);
        line.results.clear();
        line.frames.clear();
        line.takeFrames();
        steps::toFirstBlock(line, parameterRecord("KM52", '1', 256 >> run, 0x00), kModeNormal);
        steps::ackAll(line, 0x00);
        const uint16_t sum = steps::byteSum(block);
        line.txEmpty();
        line.receive(frameOf(">c", {uint8_t(sum >> 8), uint8_t(sum)}));
        EXPECT_EQ(line.results, std::vector<int32_t>{0}) << run;
    }
}

}  // namespace

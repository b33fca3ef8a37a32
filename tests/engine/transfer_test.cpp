// Erase and block transfer: erase retries and refusals, the block loop, acknowledgements,
// write time-outs and gang pacing.
#include <gtest/gtest.h>

#include "download_steps.h"

namespace {

using steps::frameOf;

constexpr int32_t kBlock = 16;

std::vector<uint8_t> imageOf(const std::vector<std::vector<uint8_t>>& blocks)
{
    std::vector<uint8_t> image;
    for (const auto& b : blocks)
        image.insert(image.end(), b.begin(), b.end());
    return image;
}

// Erase-and-download, single mode, CRC, raw frames: the erase command on its way.
void toErase(ScriptedLine& line, int32_t blocks = 3)
{
    Engine& engine = ScriptedLine::current->engine;
    std::vector<std::vector<uint8_t>> image;
    for (int i = 0; i < blocks; ++i)
        image.push_back(steps::dataBlock(kBlock, static_cast<uint32_t>(i)));
    loadReleaseFile(engine, "KM52", imageOf(image));
    steps::toExchange(line);
    steps::giveRecord(line, parameterRecord("KM52", '0', kBlock, 0xFF));
}

TEST(Erase, TimesOutEvery81SecondsFromLeavingTheLineWithRetryTexts)
{
    ScriptedLine line;
    toErase(line);
    EXPECT_EQ(line.line(kPhaseLine), "\nErasing flash. Please wait...\r\n");
    EXPECT_EQ(line.line(kAdviceLine), "\r\n");
    line.takeFrames();
    line.advance(2000);  // the command takes its time to leave
    line.txEmpty();
    int64_t leftAt = line.now();

    // The bar counts from the mark: 0 at once, 50 after 40 s, full from 79999 ms.
    line.tick();
    EXPECT_EQ(line.overall, 0);
    line.advance(40000);
    line.tick();
    EXPECT_EQ(line.overall, 50);
    line.nowMs_ = leftAt + 79999;
    line.tick();
    EXPECT_EQ(line.overall, 100);

    line.nowMs_ = leftAt + 80999;
    line.tick();
    EXPECT_TRUE(line.takeFrames().empty());
    for (int retry = 1; retry <= 3; ++retry) {
        line.nowMs_ = leftAt + 81000;
        line.tick();
        auto sent = line.takeFrames();
        ASSERT_EQ(sent.size(), 1u) << retry;
        EXPECT_EQ(sent[0].bytes, bytesOf("<e"));
        EXPECT_EQ(line.line(kPhaseLine),
                  "\nErasing flash - retry # " + std::to_string(retry) + "\r\n");
        EXPECT_EQ(line.line(kAdviceLine), retry >= 2 ? steps::kMultipleTimeouts : "\r\n")
            << retry;
        line.runTicks(100000);  // on its way: no time-out
        EXPECT_TRUE(line.takeFrames().empty());
        line.txEmpty();
        line.tick();  // the bar starts again from the new mark
        EXPECT_EQ(line.overall, 0);
        leftAt = line.now();
    }
}

TEST(Erase, RefusalsResendAtOnceWithNakTextAtEveryFifth)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    toErase(line);
    line.takeFrames();
    for (int nak = 1; nak <= 11; ++nak) {
        line.txEmpty();
        line.receive("x>E");
        auto sent = line.takeFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].bytes, bytesOf("<e"));
        const bool warned = line.line(kAdviceLine) != "\r\n";
        EXPECT_EQ(warned, nak % 5 == 0) << nak;
        if (warned) {
            EXPECT_EQ(line.line(kAdviceLine), "\nMultiple erase NAKs have been received\r\nCheck "
                                              "the cable, otherwise press Esc to abort\r\n");
            clearAndSelectAdviceLine(engine);  // so that the next warning shows as new
        }
    }
    // Time-outs in between do not reset the count: 4 more refusals make the next warning.
    line.txEmpty();
    line.runTicks(81000);
    EXPECT_EQ(line.line(kPhaseLine), "\nErasing flash - retry # 1\r\n");
    for (int nak = 0; nak < 4; ++nak) {
        line.txEmpty();
        line.receive(">E");
    }
    EXPECT_EQ(line.line(kAdviceLine), "\nMultiple erase NAKs have been received\r\nCheck "
                                      "the cable, otherwise press Esc to abort\r\n");
    line.takeFrames();
    // Other letters are passed over; '>e' starts the blocks.
    line.txEmpty();
    line.receive(">S>a");
    EXPECT_TRUE(line.takeFrames().empty());
    line.receive(">e");
    EXPECT_TRUE(steps::isWriteFrame(line.frames.back()));
}

TEST(Blocks, BlankBlocksArePassedOverAndNumbersKeepThePosition)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    loadReleaseFile(engine, "KM52", imageOf({steps::blankBlock(kBlock), steps::blankBlock(kBlock),
                                     steps::blankBlock(kBlock), steps::dataBlock(kBlock, 1)}));
    std::vector<std::string> phaseTexts;
    steps::toFirstBlock(line, parameterRecord("KM52", '1', kBlock, 0xFF), kModeNormal);
    for (const StatusEvent& e : line.events)
        if (e.kind == StatusEvent::Text && e.control == kPhaseLine && e.text != "\r\n")
            phaseTexts.push_back(e.text);
    EXPECT_EQ(std::vector<std::string>(phaseTexts.end() - 4, phaseTexts.end()),
              (std::vector<std::string>{"\nBlank block # 1 of 4\r\n", "\nBlank block # 2 of 4\r\n",
                                        "\nBlank block # 3 of 4\r\n",
                                        "\nWriting block # 4 of 4 (100%)\r\n"}));
    const SentFrame& first = line.frames.back();
    ASSERT_TRUE(steps::isWriteFrame(first));
    EXPECT_EQ(steps::frameNumber(first), 3);
    EXPECT_EQ(first.bytes.size(), kBlock + 4u);
    EXPECT_EQ(first.speed, 115200u);
}

TEST(Blocks, ImageOfBlankBlocksOnlyGoesStraightToTheChecksum)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    loadReleaseFile(engine, "KM52", imageOf({steps::blankBlock(kBlock), steps::blankBlock(kBlock)}));
    steps::toFirstBlock(line, parameterRecord("KM52", '1', kBlock, 0xFF), kModeNormal);
    for (const SentFrame& f : line.frames)
        EXPECT_FALSE(steps::isWriteFrame(f));
    EXPECT_EQ(line.frames.back().bytes, frameOf("<c", {0x1F, 0xE0}));  // 32 * 0xFF
}

TEST(Blocks, AcknowledgementsRefusalsAndWrongNumbers)
{
    ScriptedLine line;
    toErase(line, 3);
    line.txEmpty();
    line.receive(">e");
    const std::vector<uint8_t> block0 = line.frames.back().bytes;
    EXPECT_EQ(line.line(kPhaseLine), "\nWriting block # 1 of 3 (33%)\r\n");
    line.takeFrames();

    // Bytes before the frame has left the line are drained.
    line.receive(frameOf(">w", {0, 0}));
    EXPECT_TRUE(line.takeFrames().empty());

    // '>W' and any byte: the same frame once more.
    line.txEmpty();
    line.receive(">W");
    EXPECT_TRUE(line.takeFrames().empty());
    line.receive(std::vector<uint8_t>{0x3E});
    auto sent = line.takeFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, block0);
    EXPECT_EQ(line.line(kPhaseLine), "\nWriting block # 1 of 3\r\n");

    // A wrong number: repeat text and the same frame.
    line.txEmpty();
    line.receive(frameOf("junk>w", {0x00, 0x07}));
    sent = line.takeFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, block0);
    EXPECT_EQ(line.line(kPhaseLine), "\nRepeat  block # 1\r\n");

    // The right number, split: the next block.
    line.txEmpty();
    line.receive(">");
    line.receive(frameOf("w", {0x00}));
    line.receive(std::vector<uint8_t>{0x00});
    sent = line.takeFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(steps::frameNumber(sent[0]), 1);
    EXPECT_EQ(line.line(kPhaseLine), "\nWriting block # 2 of 3 (66%)\r\n");
    EXPECT_EQ(line.line(kAdviceLine), "\r\n");
    line.txEmpty();
    line.receive(frameOf(">w", {0x00, 0x01}));
    EXPECT_EQ(line.line(kPhaseLine), "\nWriting block # 3 of 3 (100%)\r\n");
}

TEST(Blocks, SilenceResendsEveryTenSecondsFromLeavingTheLine)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    toErase(line, 2);
    line.txEmpty();
    line.receive(">e");
    const std::vector<uint8_t> block0 = line.frames.back().bytes;
    line.takeFrames();
    line.advance(700);
    line.txEmpty();
    line.receive(">W");  // refused without the byte after it: only the time-out helps
    int64_t leftAt = line.now();
    for (int retry = 1; retry <= 3; ++retry) {
        line.nowMs_ = leftAt + 9999;
        line.tick();
        EXPECT_TRUE(line.takeFrames().empty());
        line.nowMs_ = leftAt + 10000;
        line.tick();
        auto sent = line.takeFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].bytes, block0);
        EXPECT_EQ(line.line(kPhaseLine),
                  "\nWriting block # 1 of 2 - retry # " + std::to_string(retry) + "\r\n");
        EXPECT_EQ(line.line(kAdviceLine), retry >= 2 ? steps::kMultipleTimeouts : "\r\n");
        line.runTicks(30000);
        EXPECT_TRUE(line.takeFrames().empty());
        line.advance(50);
        line.txEmpty();
        leftAt = line.now();
    }
    // The count starts again with the next block.
    line.receive(frameOf(">w", {0, 0}));
    EXPECT_EQ(engine.retryCount, 0);
    line.txEmpty();
    line.runTicks(10000);
    EXPECT_EQ(line.line(kPhaseLine), "\nWriting block # 2 of 2 - retry # 1\r\n");
}

// Gang mode, from the start through Continue to the erase on its way.
void toGangErase(ScriptedLine& line, int32_t mode, char protocol, int32_t blockSize)
{
    Engine& engine = line.engine;
    std::vector<uint8_t> image;
    for (int i = 0; i < 3; ++i) {
        auto b = steps::dataBlock(static_cast<size_t>(blockSize), static_cast<uint32_t>(i));
        image.insert(image.end(), b.begin(), b.end());
    }
    loadReleaseFile(engine, "KM52", image);
    steps::begin(engine, mode, 38400, 1);
    line.txEmpty();
    line.receive(">i");
    pressContinue(engine);
    steps::giveRecord(line, parameterRecord("KM52", protocol, blockSize, 0xFF));
}

TEST(GangPacing, EraseHoldsUntilEightySecondsAfterTheCommandLeft)
{
    ScriptedLine line;
    toGangErase(line, kModeEraseAndDownload, '0', 1024);
    line.txEmpty();
    const int64_t leftAt = line.now();
    line.advance(20000);
    line.waits.clear();
    line.receive(">e");
    EXPECT_EQ(line.waits, std::vector<int32_t>{60000});
    EXPECT_EQ(line.frames.back().atMs - leftAt, 80000);
    EXPECT_TRUE(steps::isWriteFrame(line.frames.back()));

    // An answer later than 80 s: no wait.
    ScriptedLine late;
    toGangErase(late, kModeEraseAndDownload, '0', 1024);
    late.txEmpty();
    late.runTicks(80500);
    late.waits.clear();
    late.receive(">e");
    EXPECT_TRUE(late.waits.empty());
}

TEST(GangPacing, EraseModeWaitsPerKilobyteFromTheFrameLeavingTheLine)
{
    const struct {
        char protocol;
        int32_t blockSize;
        int32_t waitMs;
    } cases[] = {{'0', 1024, 90}, {'1', 1024, 30}, {'0', 4096, 360}};
    for (const auto& c : cases) {
        ScriptedLine line;
        Engine& engine = line.engine;
        toGangErase(line, kModeEraseAndDownload, c.protocol, c.blockSize);
        line.txEmpty();
        line.receive(">e");
        line.txEmpty();
        const int64_t leftAt = line.now();
        line.advance(10);
        line.receive(frameOf(">w", {0, 0}));
        EXPECT_EQ(line.frames.back().atMs - leftAt, c.waitMs) << c.blockSize;
        EXPECT_EQ(steps::frameNumber(line.frames.back()), 1);
        EXPECT_EQ(engine.slots.onTick, &blockTimeout);
    }
}

TEST(GangPacing, NormalModeWaitsAFurtherThirdOfTheAnswerTime)
{
    ScriptedLine line;
    toGangErase(line, kModeNormal, '1', 64);
    line.txEmpty();
    line.advance(300);
    line.waits.clear();
    line.receive(frameOf(">w", {0, 0}));
    EXPECT_EQ(line.waits, std::vector<int32_t>{100});
    EXPECT_EQ(steps::frameNumber(line.frames.back()), 1);
}

}  // namespace

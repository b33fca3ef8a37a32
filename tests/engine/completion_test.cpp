// Completion and the abort handshake: checksum comparison, refusals, time-outs, and that
// nothing acts once a result is posted.
#include <gtest/gtest.h>

#include "download_steps.h"

namespace {

using steps::frameOf;

constexpr int32_t kBlock = 8;
// Byte sum of the image below: 8 * 0x12 + 8 * 0x34 + 8 * 0x00 + ... chosen to give 0x1234.
std::vector<uint8_t> imageSumming0x1234()
{
    // 0x1234 = 4660 = 18 * 255 + 70: 18 bytes 0xFF and one byte 70, padded to whole blocks.
    std::vector<uint8_t> image(24, 0x00);
    for (int i = 0; i < 18; ++i)
        image[static_cast<size_t>(i)] = 0xFF;
    image[18] = 70;
    return image;
}

// Normal mode, byte sum, single (or gang): the checksum frame on its way.
void toChecksum(ScriptedLine& line, int32_t gang = 0)
{
    Engine& engine = ScriptedLine::current->engine;
    loadReleaseFile(engine, "KM52", imageSumming0x1234());
    steps::begin(engine, kModeNormal, 57600, gang);
    line.txEmpty();
    line.receive(">i");
    if (gang)
        pressContinue(engine);
    steps::giveRecord(line, parameterRecord("KM52", '1', kBlock, 0xFF));
    steps::ackAll(line, 0xFF);
}

TEST(Checksum, MatchingAnswerCompletesWithResultZero)
{
    for (int32_t gang : {0, 1}) {
        ScriptedLine line;
        Engine& engine = line.engine;
        toChecksum(line, gang);
        EXPECT_EQ(line.frames.back().bytes, (std::vector<uint8_t>{0x3C, 0x63, 0x12, 0x34}));
        EXPECT_EQ(line.line(kPhaseLine), "\nChecksumming. Please wait...\r\n");
        line.receive(frameOf(">c", {0x12, 0x34}));  // drained: not yet left the line
        EXPECT_TRUE(line.results.empty());
        line.txEmpty();
        line.receive(frameOf(">w", {0, 2}));  // late acknowledgement, passed over
        line.receive(frameOf(">S>", {}));
        line.receive(frameOf("c", {0x12}));
        line.receive(std::vector<uint8_t>{0x34});
        EXPECT_EQ(line.results, std::vector<int32_t>{0});
        EXPECT_EQ(line.line(kAdviceLine),
                  gang ? "\nDownload completed OK. Checksum 1234\r\nWait for all mobile displays "
                         "to clear\r\nand their LEDs to go off before disconnecting them.\r\n"
                       : "\nDownload completed OK. Checksum 1234\r\nWait for the mobile's display "
                         "to clear\r\nand its LED to go off before disconnecting it.\r\n");
        EXPECT_EQ(line.line(kPhaseLine), "\nChecksumming. Please wait...\r\n");
        EXPECT_EQ(engine.frameBuffer, nullptr);
        EXPECT_EQ(engine.releaseFile, nullptr);
    }
}

TEST(Checksum, DifferingAnswerAbortsAtChosenSpeed)
{
    ScriptedLine line;
    toChecksum(line);
    line.txEmpty();
    const int purgesBefore = line.purges;
    const size_t speedsBefore = line.speedChanges.size();
    line.receive(frameOf(">c", {0x34, 0x12}));
    EXPECT_EQ(line.line(kPhaseLine), "\nChecksum failed - Aborting\r\n");
    EXPECT_EQ(line.line(kAdviceLine), "\r\n");
    EXPECT_EQ(line.frames.back().bytes, bytesOf("<a"));
    EXPECT_EQ(line.frames.back().speed, 57600u);
    // Switched (and emptied) although the port already had that speed.
    EXPECT_EQ(line.purges, purgesBefore + 1);
    ASSERT_EQ(line.speedChanges.size(), speedsBefore + 1);
    EXPECT_EQ(line.speedChanges.back(), 57600u);

    line.txEmpty();
    line.receive(">a");
    EXPECT_EQ(line.results, std::vector<int32_t>{4});
    EXPECT_EQ(line.line(kAdviceLine), "\nAbort response recieved. Download terminated\r\n");
    EXPECT_EQ(line.line(kPhaseLine), "\nChecksum failed - Aborting\r\n");
}

TEST(Checksum, CompletionRefusedEndsWithSixAndNoAbort)
{
    ScriptedLine line;
    toChecksum(line);
    line.txEmpty();
    line.takeFrames();
    line.receive(">C");
    EXPECT_EQ(line.results, std::vector<int32_t>{6});
    EXPECT_EQ(line.line(kPhaseLine), "\nComplete response NAK - Download terminated\r\n");
    line.runTicks(60000);
    EXPECT_TRUE(line.takeFrames().empty());
}

TEST(Checksum, SilenceRepeatsFromTheSendWithWarningsOnce)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    toChecksum(line);
    const int64_t sentAt = line.frames.back().atMs;
    line.takeFrames();
    line.advance(400);
    line.txEmpty();  // the time counts from the send, not from here
    line.nowMs_ = sentAt + 24999;
    line.tick();
    EXPECT_TRUE(line.takeFrames().empty());
    line.nowMs_ = sentAt + 25000;
    line.tick();
    auto sent = line.takeFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, (std::vector<uint8_t>{0x3C, 0x63, 0x12, 0x34}));
    EXPECT_EQ(line.line(kPhaseLine), "\nChecksumming. Please wait...\r\n");
    line.txEmpty();

    // The second expiry only warns; the tick after it sends.
    line.nowMs_ = sentAt + 50000;
    line.tick();
    EXPECT_TRUE(line.takeFrames().empty());
    EXPECT_EQ(line.line(kPhaseLine), "\nNo response from mobile\r\n");
    EXPECT_EQ(line.line(kAdviceLine), "\nCheck the cabling or select 'Abort' to quit download\r\n");
    line.advance(500);
    line.tick();
    ASSERT_EQ(line.takeFrames().size(), 1u);
    const int64_t thirdAt = line.now();
    line.txEmpty();
    clearAndSelectAdviceLine(engine);
    line.runTicks(100000);  // the next repeat 25 s after the third; no texts, no result
    line.txEmpty();
    sent = line.takeFrames();
    ASSERT_EQ(sent.size(), 1u);  // on its way since: waits for its tx-empty
    EXPECT_EQ(sent[0].atMs - thirdAt, 25000);
    EXPECT_EQ(line.line(kAdviceLine), "\r\n");
    EXPECT_TRUE(line.results.empty());
}

TEST(Abort, UnansweredGoesTwiceThenPostsTheReason)
{
    ScriptedLine line;
    toChecksum(line);
    line.txEmpty();
    line.receive(frameOf(">c", {0, 0}));
    const int64_t sentAt = line.now();
    line.takeFrames();
    line.advance(300);
    line.txEmpty();
    line.nowMs_ = sentAt + 9999;
    line.tick();
    EXPECT_TRUE(line.takeFrames().empty());
    line.nowMs_ = sentAt + 10000;
    line.tick();
    auto sent = line.takeFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, bytesOf("<a"));
    EXPECT_EQ(sent[0].speed, 57600u);
    line.txEmpty();
    line.nowMs_ = sentAt + 19999;
    line.tick();
    EXPECT_TRUE(line.results.empty());
    line.nowMs_ = sentAt + 20000;
    line.tick();
    EXPECT_EQ(line.results, std::vector<int32_t>{6});
    EXPECT_EQ(line.line(kAdviceLine), "\nNo abort response from mobile. Download terminated\r\n");
    EXPECT_EQ(line.line(kPhaseLine), "\nChecksum failed - Aborting\r\n");
}

TEST(Abort, AnswerAfterTheRepeatStillEndsWithFour)
{
    ScriptedLine line;
    toChecksum(line);
    line.txEmpty();
    line.receive(frameOf(">c", {0, 0}));
    line.txEmpty();
    line.runTicks(10000);
    line.txEmpty();
    line.receive("x>x>a");
    EXPECT_EQ(line.results, std::vector<int32_t>{4});
}

// After any result, nothing moves: no frame on tx-empty, answers or ticks, no second result.
TEST(AfterResult, EveryOutcomeLeavesTheEngineIdle)
{
    using Ending = void (*)(ScriptedLine&);
    const Ending endings[] = {
        [](ScriptedLine& l) { l.txEmpty(); l.receive(frameOf(">c", {0x12, 0x34})); },
        [](ScriptedLine& l) { l.txEmpty(); l.receive(">C"); },
        [](ScriptedLine& l) {
            l.txEmpty();
            l.receive(frameOf(">c", {0, 0}));
            l.txEmpty();
            l.receive(">a");
        },
        [](ScriptedLine& l) {
            l.txEmpty();
            l.receive(frameOf(">c", {0, 0}));
            steps::abortUnanswered(l);
        },
    };
    for (Ending end : endings) {
        ScriptedLine line;
        Engine& engine = line.engine;
        toChecksum(line);
        end(line);
        ASSERT_EQ(line.results.size(), 1u);
        line.takeFrames();
        for (int i = 0; i < 5; ++i) {
            line.txEmpty();
            line.receive(frameOf(">a>C>c", {0, 0}));
            line.runTicks(30000);
        }
        pressContinue(engine);
        EXPECT_TRUE(line.takeFrames().empty());
        EXPECT_EQ(line.results.size(), 1u);
        EXPECT_EQ(engine.slots.onTick, &idleHandler);
        EXPECT_EQ(engine.frameBuffer, nullptr);
        EXPECT_EQ(engine.readBuffer, nullptr);
    }
}

}  // namespace

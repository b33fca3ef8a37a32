// The engine kit: recogniser, clock, status outputs, result posting, delivery rules.
#include <gtest/gtest.h>

#include "engine/engine_kit.h"
#include "tests/support/scripted_line.h"
#include "transport/frame_io.h"

namespace {

// Feeds bytes one at a time through the recogniser, as a one-byte response receive does.
std::string recogniseEach(const std::string& bytes)
{
    std::string out;
    for (char c : bytes) {
        Engine& engine = ScriptedLine::current->engine;
        engine.responseCell = static_cast<uint8_t>(c);
        out += static_cast<char>(recogniseResponse(engine));
    }
    return out;
}

TEST(Recogniser, AcceptsMarkFollowedByOneOfElevenLetters)
{
    ScriptedLine line;
    EXPECT_EQ(recogniseEach(">i"), "|i");
    EXPECT_EQ(recogniseEach("i"), "|");
    EXPECT_EQ(recogniseEach(">>i"), "||i");
    EXPECT_EQ(recogniseEach(">xi"), "|||");
    EXPECT_EQ(recogniseEach(">ii"), "|i|");
    EXPECT_EQ(recogniseEach(">P"), "||");
    EXPECT_EQ(recogniseEach(">S"), "|S");
    for (char letter : std::string("CESWaceipsw"))
        EXPECT_EQ(recogniseEach(std::string(">") + letter), std::string("|") + letter);
}

TEST(Recogniser, ArmsOneByteReceiveOnlyWhenNothingRecognised)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    uint8_t other[4] = {};
    // Something else is armed; '>' re-arms the response cell, 'i' leaves the arm alone.
    engine.io.armReceive(other, 4);
    engine.responseCell = '>';
    EXPECT_EQ(recogniseResponse(engine), '|');
    line.receive(std::string("Z"));
    EXPECT_EQ(engine.responseCell, 'Z');  // the cell was armed

    engine.io.armReceive(other, 4);
    engine.previousByte = '>';
    engine.responseCell = 'i';
    EXPECT_EQ(recogniseResponse(engine), 'i');
    line.receive(std::string("QRST"));
    EXPECT_EQ(std::string(other, other + 4), "QRST");  // still the other receive
}

TEST(Clock, KeepsSecondsAndMillisecondsArithmetic)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    line.nowMs_ = 10990;
    markClock(engine);
    line.nowMs_ = 11005;
    EXPECT_EQ(elapsedMs(engine), 15);
    EXPECT_FALSE(hasElapsed(engine, 16));
    EXPECT_TRUE(hasElapsed(engine, 15));
}

TEST(Clock, WaitsEndAtTheirTimeAndNotWhenReaderStopped)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    markClock(engine);
    line.advance(30);
    line.waits.clear();
    waitSinceMark(engine, 30);  // already passed
    EXPECT_TRUE(line.waits.empty());
    waitSinceMark(engine, 100);
    EXPECT_EQ(elapsedMs(engine), 100);

    const int64_t before = line.now();
    waitFor(engine, 10);
    EXPECT_EQ(line.now() - before, 10);

    line.stop();
    line.waits.clear();
    waitFor(engine, 1000);
    waitSinceMark(engine, 100000);
    EXPECT_TRUE(line.waits.empty());
}

TEST(StatusText, PrintReplacesTheCurrentLineOnly)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    clearAndSelectAdviceLine(engine);
    printStatus(engine, "\nadvice\r\n");
    clearAndSelectPhaseLine(engine);
    printStatus(engine, "\nBlank block # %d of %ld\r\n", 3, 10L);
    EXPECT_EQ(line.line(kPhaseLine), "\nBlank block # 3 of 10\r\n");
    EXPECT_EQ(line.line(kAdviceLine), "\nadvice\r\n");
    clearAndSelectAdviceLine(engine);
    EXPECT_EQ(line.line(kAdviceLine), "\r\n");
}

TEST(StatusText, OverlongMessageIsCutNotOverflowed)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    clearAndSelectPhaseLine(engine);
    printStatus(engine, "%s", std::string(2000, 'x').c_str());
    EXPECT_EQ(line.line(kPhaseLine).size(), 511u);
}

TEST(PostResult, IdlesEverySlotAndClosesTheFile)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    engine.slots = {drainReceive, drainReceive, drainReceive};
    engine.releaseFile = std::tmpfile();
    postResult(engine, kResultHandsetAborted);
    EXPECT_EQ(line.results, std::vector<int32_t>{4});
    EXPECT_EQ(engine.slots.onTxEmpty, &idleHandler);
    EXPECT_EQ(engine.slots.onRxComplete, &idleHandler);
    EXPECT_EQ(engine.slots.onTick, &idleHandler);
    EXPECT_EQ(engine.releaseFile, nullptr);
}

TEST(InitEngine, ResetsAccumulatorsButKeepsHandsetChoices)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    engine.checksumKind = kChecksumCrc;
    engine.blankByte = 0x00;
    engine.previousByte = '>';
    engine.crcAccumulator = 0x1234;
    engine.byteSum = 99;
    initEngine(engine, kModeNormal, 19200, 57600, 1);
    EXPECT_EQ(engine.downloadMode, kModeNormal);
    EXPECT_EQ(engine.initialSpeed, 19200);
    EXPECT_EQ(engine.chosenSpeed, 57600);
    EXPECT_EQ(engine.gangMode, 1);
    EXPECT_EQ(engine.crcAccumulator, 0xFFFFu);
    EXPECT_EQ(engine.byteSum, 0);
    EXPECT_EQ(engine.checksumKind, kChecksumCrc);
    EXPECT_EQ(engine.blankByte, 0x00);
    EXPECT_EQ(engine.previousByte, '>');
}

// --- delivery into the armed receive -------------------------------------------------------

std::vector<std::string> completions;
uint8_t two[2];
uint8_t one[1];

void recordTwoThenArmOne(Engine& engine)
{
    completions.emplace_back(two, two + 2);
    engine.io.armReceive(one, 1);
    engine.slots.onRxComplete = [](Engine& self) {
        completions.emplace_back(one, one + 1);
        self.io.armReceive(one, 1);
    };
}

TEST(Delivery, SeveralCompletionsInOneDelivery)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    completions.clear();
    engine.io.armReceive(two, 2);
    engine.slots.onRxComplete = recordTwoThenArmOne;
    line.receive(std::string("abcde"));
    EXPECT_EQ(completions, (std::vector<std::string>{"ab", "c", "d", "e"}));
}

TEST(Delivery, ReceiveFilledOverSeveralDeliveriesCompletesOnce)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    completions.clear();
    uint8_t record[64] = {};
    static uint8_t* target;
    target = record;
    engine.io.armReceive(record, 64);
    engine.slots.onRxComplete = [](Engine&) { completions.emplace_back(target, target + 64); };
    line.receive(std::string(30, 'a'));
    line.receive(std::string(30, 'b'));
    EXPECT_TRUE(completions.empty());
    line.receive(std::string(4, 'c'));
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0], std::string(30, 'a') + std::string(30, 'b') + "cccc");
}

TEST(Delivery, FilledReceiveStaysArmedWhenHandlerArmsNothing)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    completions.clear();
    engine.io.armReceive(one, 1);
    engine.slots.onRxComplete = [](Engine&) { completions.emplace_back(one, one + 1); };
    line.receive(std::string("xyz"));
    EXPECT_EQ(completions, (std::vector<std::string>{"x", "y", "z"}));
}

TEST(Delivery, BytesWithNothingArmedOrNoHandlerAreDropped)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    line.receive(std::string("unarmed"));  // nothing armed since reset: no crash, no loop
    engine.io.armReceive(one, 1);
    engine.slots.onRxComplete = nullptr;
    line.receive(std::string("no handler"));
    EXPECT_EQ(one[0], 'n');
}

TEST(Delivery, TxEmptyRunsBeforeBytesOfTheSameEvent)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    completions.clear();
    engine.io.armReceive(two, 2);  // the drain-like receive the bytes would otherwise go to
    engine.slots.onRxComplete = [](Engine&) { completions.push_back("two"); };
    engine.slots.onTxEmpty = [](Engine& self) {
        self.io.armReceive(one, 1);
        self.slots.onRxComplete = [](Engine&) { completions.emplace_back(one, one + 1); };
        self.slots.onTxEmpty = idleHandler;
    };
    line.txEmptyAndReceive(bytesOf(">i"));
    EXPECT_EQ(completions, (std::vector<std::string>{">", "i"}));
}

TEST(FrameIo, NothingMovesAfterTheLineStops)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    static const uint8_t frame[] = {'<', 'i'};
    engine.io.sendFrame(frame, 2);
    engine.io.setLastFrameLength(1);
    engine.io.resendLastFrame();
    ASSERT_EQ(line.frames.size(), 2u);
    EXPECT_EQ(line.frames[1].bytes, bytesOf("<"));
    line.stop();
    engine.io.sendFrame(frame, 2);
    engine.io.resendLastFrame();
    engine.io.armReceive(one, 1);
    EXPECT_EQ(line.frames.size(), 2u);
}

}  // namespace

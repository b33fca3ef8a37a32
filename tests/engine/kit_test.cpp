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
        engine.responseCell = static_cast<uint8_t>(c);
        out += static_cast<char>(recogniseResponse());
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
    uint8_t other[4] = {};
    // Something else is armed; '>' re-arms the response cell, 'i' leaves the arm alone.
    armReceive(other, 4);
    engine.responseCell = '>';
    EXPECT_EQ(recogniseResponse(), '|');
    line.receive(std::string("Z"));
    EXPECT_EQ(engine.responseCell, 'Z');  // the cell was armed

    armReceive(other, 4);
    engine.previousByte = '>';
    engine.responseCell = 'i';
    EXPECT_EQ(recogniseResponse(), 'i');
    line.receive(std::string("QRST"));
    EXPECT_EQ(std::string(other, other + 4), "QRST");  // still the other receive
}

TEST(Clock, KeepsSecondsAndMillisecondsArithmetic)
{
    ScriptedLine line;
    line.nowMs_ = 10990;
    markClock();
    line.nowMs_ = 11005;
    EXPECT_EQ(elapsedMs(), 15);
    EXPECT_FALSE(hasElapsed(16));
    EXPECT_TRUE(hasElapsed(15));
}

TEST(Clock, WaitsEndAtTheirTimeAndNotWhenReaderStopped)
{
    ScriptedLine line;
    markClock();
    line.advance(30);
    line.waits.clear();
    waitSinceMark(30);  // already passed
    EXPECT_TRUE(line.waits.empty());
    waitSinceMark(100);
    EXPECT_EQ(elapsedMs(), 100);

    const int64_t before = line.now();
    waitFor(10);
    EXPECT_EQ(line.now() - before, 10);

    line.stop();
    line.waits.clear();
    waitFor(1000);
    waitSinceMark(100000);
    EXPECT_TRUE(line.waits.empty());
}

TEST(StatusText, PrintReplacesTheCurrentLineOnly)
{
    ScriptedLine line;
    clearAndSelectAdviceLine();
    printStatus("\nadvice\r\n");
    clearAndSelectPhaseLine();
    printStatus("\nBlank block # %d of %ld\r\n", 3, 10L);
    EXPECT_EQ(line.line(kPhaseLine), "\nBlank block # 3 of 10\r\n");
    EXPECT_EQ(line.line(kAdviceLine), "\nadvice\r\n");
    clearAndSelectAdviceLine();
    EXPECT_EQ(line.line(kAdviceLine), "\r\n");
}

TEST(StatusText, OverlongMessageIsCutNotOverflowed)
{
    ScriptedLine line;
    clearAndSelectPhaseLine();
    printStatus("%s", std::string(2000, 'x').c_str());
    EXPECT_EQ(line.line(kPhaseLine).size(), 511u);
}

TEST(PostResult, IdlesEverySlotAndClosesTheFile)
{
    ScriptedLine line;
    handlerSlots = {drainReceive, drainReceive, drainReceive};
    engine.releaseFile = std::tmpfile();
    postResult(kResultHandsetAborted);
    EXPECT_EQ(line.results, std::vector<int32_t>{4});
    EXPECT_EQ(handlerSlots.onTxEmpty, &idleHandler);
    EXPECT_EQ(handlerSlots.onRxComplete, &idleHandler);
    EXPECT_EQ(handlerSlots.onTick, &idleHandler);
    EXPECT_EQ(engine.releaseFile, nullptr);
}

TEST(InitEngine, ResetsAccumulatorsButKeepsHandsetChoices)
{
    ScriptedLine line;
    engine.checksumKind = kChecksumCrc;
    engine.blankByte = 0x00;
    engine.previousByte = '>';
    engine.crcAccumulator = 0x1234;
    engine.byteSum = 99;
    initEngine(kModeNormal, 19200, 57600, 1);
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

void recordTwoThenArmOne()
{
    completions.emplace_back(two, two + 2);
    armReceive(one, 1);
    handlerSlots.onRxComplete = [] {
        completions.emplace_back(one, one + 1);
        armReceive(one, 1);
    };
}

TEST(Delivery, SeveralCompletionsInOneDelivery)
{
    ScriptedLine line;
    completions.clear();
    armReceive(two, 2);
    handlerSlots.onRxComplete = recordTwoThenArmOne;
    line.receive(std::string("abcde"));
    EXPECT_EQ(completions, (std::vector<std::string>{"ab", "c", "d", "e"}));
}

TEST(Delivery, ReceiveFilledOverSeveralDeliveriesCompletesOnce)
{
    ScriptedLine line;
    completions.clear();
    uint8_t record[64] = {};
    static uint8_t* target;
    target = record;
    armReceive(record, 64);
    handlerSlots.onRxComplete = [] { completions.emplace_back(target, target + 64); };
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
    completions.clear();
    armReceive(one, 1);
    handlerSlots.onRxComplete = [] { completions.emplace_back(one, one + 1); };
    line.receive(std::string("xyz"));
    EXPECT_EQ(completions, (std::vector<std::string>{"x", "y", "z"}));
}

TEST(Delivery, BytesWithNothingArmedOrNoHandlerAreDropped)
{
    ScriptedLine line;
    line.receive(std::string("unarmed"));  // nothing armed since reset: no crash, no loop
    armReceive(one, 1);
    handlerSlots.onRxComplete = nullptr;
    line.receive(std::string("no handler"));
    EXPECT_EQ(one[0], 'n');
}

TEST(Delivery, TxEmptyRunsBeforeBytesOfTheSameEvent)
{
    ScriptedLine line;
    completions.clear();
    armReceive(two, 2);  // the drain-like receive the bytes would otherwise go to
    handlerSlots.onRxComplete = [] { completions.push_back("two"); };
    handlerSlots.onTxEmpty = [] {
        armReceive(one, 1);
        handlerSlots.onRxComplete = [] { completions.emplace_back(one, one + 1); };
        handlerSlots.onTxEmpty = idleHandler;
    };
    line.txEmptyAndReceive(bytesOf(">i"));
    EXPECT_EQ(completions, (std::vector<std::string>{">", "i"}));
}

TEST(FrameIo, NothingMovesAfterTheLineStops)
{
    ScriptedLine line;
    static const uint8_t frame[] = {'<', 'i'};
    sendFrame(frame, 2);
    setLastFrameLength(1);
    resendLastFrame();
    ASSERT_EQ(line.frames.size(), 2u);
    EXPECT_EQ(line.frames[1].bytes, bytesOf("<"));
    line.stop();
    sendFrame(frame, 2);
    resendLastFrame();
    armReceive(one, 1);
    EXPECT_EQ(line.frames.size(), 2u);
}

}  // namespace

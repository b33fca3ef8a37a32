// Connection and parameter exchange: waiting, gang ready, the request and the record check.
#include <gtest/gtest.h>

#include <cstdlib>

#include "download_steps.h"

namespace {

using steps::frameOf;

const std::vector<uint8_t> kRecord = parameterRecord("KM52", '0', 16, 0xFF);

TEST(Connection, SingleModeInquiresUntilAnsweredThenRequestsParameters)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    loadReleaseFile(engine, "KM52", std::vector<uint8_t>(32, 0x11));
    steps::begin(engine, kModeEraseAndDownload, 115200, 0);
    EXPECT_EQ(line.line(kPhaseLine), "\nWaiting for mobile signal...\r\n");
    EXPECT_EQ(line.line(kAdviceLine), steps::kWaitingSingle);
    ASSERT_EQ(line.takeFrames().size(), 1u);
    EXPECT_EQ(line.frames[0].bytes, bytesOf("<i"));

    // Each time the inquiry has left the line it goes again, 10 ms pause after it.
    for (int i = 0; i < 3; ++i)
        line.txEmpty();
    EXPECT_EQ(line.takeFrames().size(), 3u);
    EXPECT_EQ(line.waits, (std::vector<int32_t>{10, 10, 10}));
    line.runTicks(5000);  // no time-out while waiting
    EXPECT_TRUE(line.takeFrames().empty());

    // Noise, a lone 'i' and an answer split across deliveries.
    line.receive("xi>");
    line.receive("Pi>");
    EXPECT_EQ(line.line(kPhaseLine), "\nWaiting for mobile signal...\r\n");
    line.receive(">");
    line.receive("i");
    EXPECT_EQ(line.line(kPhaseLine), "\r\nExchanging parameters...\r\n");
    EXPECT_EQ(line.line(kAdviceLine), "\r\n");
    auto sent = line.takeFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, (std::vector<uint8_t>{0x3C, 0x70, 0x30, 0xFF}));
    EXPECT_EQ(sent[0].speed, 19200u);

    // 10 ms after the request has left, the port takes the chosen speed.
    line.waits.clear();
    line.txEmpty();
    EXPECT_EQ(line.waits, std::vector<int32_t>{10});
    EXPECT_EQ(line.speed(), 115200u);
    EXPECT_EQ(engine.slots.onTxEmpty, &idleHandler);
}

TEST(Connection, SpeedCodeFollowsChosenSpeedAndKeepsItsLastValueOtherwise)
{
    const std::pair<int32_t, uint8_t> table[] = {
        {19200, '4'}, {28800, '3'}, {38400, '2'}, {57600, '1'}, {115200, '0'}, {0, '0'}};
    // One engine for all: the code it keeps is its own from the download before.
    ScriptedLine line;
    for (const auto& [speed, code] : table) {
        steps::toExchange(line, kModeEraseAndDownload, speed);
        EXPECT_EQ(line.frames.back().bytes, (std::vector<uint8_t>{'<', 'p', code, 0xFF}))
            << speed;
    }
}

TEST(Connection, GangModeWaitsForContinueAndFallsBackOnSilence)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    steps::begin(engine, kModeNormal, 57600, 1);
    EXPECT_EQ(line.line(kAdviceLine), steps::kWaitingGang);
    pressContinue(engine);  // not gang ready yet: ignored
    line.txEmpty();
    line.receive(">i");
    EXPECT_EQ(line.line(kPhaseLine), "\nMobile signal received\r\n");
    EXPECT_EQ(line.line(kAdviceLine),
              "\nConnect any other mobiles to be loaded.\r\nCheck that all the LEDs are on and "
              "they all display\r\n'Signalling', then select 'Continue'.\r\nAlternatively, "
              "select 'Abort' to abort the download\r\n");
    EXPECT_EQ(line.continueEnabled, 1);
    line.takeFrames();

    // Answers 900 ms apart keep the state; the inquiry goes on.
    for (int i = 0; i < 6; ++i) {
        line.advance(450);
        line.tick();
        line.txEmpty();
        if (i % 2)
            line.receive(">i");
    }
    EXPECT_EQ(line.line(kPhaseLine), "\nMobile signal received\r\n");
    EXPECT_EQ(line.takeFrames().size(), 6u);

    // 1500 ms of silence are caught by the 500 ms ticks.
    line.runTicks(1500);
    EXPECT_EQ(line.line(kPhaseLine), "\nWaiting for mobile signal...\r\n");
    EXPECT_EQ(line.line(kAdviceLine), steps::kWaitingGang);
    EXPECT_EQ(line.continueEnabled, 0);
    pressContinue(engine);
    EXPECT_EQ(line.line(kPhaseLine), "\nWaiting for mobile signal...\r\n");

    // Back to gang ready; Continue starts the exchange from the front end's thread.
    line.receive(">i");
    EXPECT_EQ(line.continueEnabled, 1);
    line.takeFrames();
    pressContinue(engine);
    EXPECT_EQ(line.line(kPhaseLine), "\r\nExchanging parameters...\r\n");
    auto sent = line.takeFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, (std::vector<uint8_t>{'<', 'p', '1', 0xFF}));
    pressContinue(engine);  // a second press changes nothing
    EXPECT_TRUE(line.takeFrames().empty());
}

TEST(Connection, RequestRepeatedAtInitialSpeedEverySecondWithTextsAtSecondRetryOnly)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    steps::toExchange(line);
    const int64_t sentAt = line.now();
    line.takeFrames();
    line.advance(300);
    line.txEmpty();  // left the line; the time-out still counts from the send
    EXPECT_EQ(line.speed(), 115200u);

    line.advance(1000 - 300 - 10 - 1);
    line.tick();
    EXPECT_TRUE(line.takeFrames().empty());
    line.advance(1);
    line.tick();
    auto sent = line.takeFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].atMs - sentAt, 1000);
    EXPECT_EQ(sent[0].speed, 19200u);
    EXPECT_EQ(sent[0].bytes, (std::vector<uint8_t>{'<', 'p', '0', 0xFF}));
    EXPECT_EQ(line.line(kPhaseLine), "\r\nExchanging parameters...\r\n");

    // No time-out while the repeat is on its way.
    line.runTicks(2000);
    EXPECT_TRUE(line.takeFrames().empty());
    line.txEmpty();
    EXPECT_EQ(line.speed(), 115200u);
    line.tick();  // more than 1000 ms since the mark: retry 2
    EXPECT_EQ(line.takeFrames().size(), 1u);
    EXPECT_EQ(line.line(kPhaseLine), "\nNo response from mobile\r\n");
    EXPECT_EQ(line.line(kAdviceLine),
              "\nCheck the cabling and wait, or select 'Abort' to abort download\r\n");

    // Retry 3 sends again without printing.
    line.txEmpty();
    clearAndSelectPhaseLine(engine);
    printStatus(engine, "\nmarker\r\n");
    line.runTicks(1000);
    EXPECT_EQ(line.takeFrames().size(), 1u);
    EXPECT_EQ(line.line(kPhaseLine), "\nmarker\r\n");
}

TEST(Connection, LateInquiryAnswersPassedOverAndPartialRecordAbandoned)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    loadReleaseFile(engine, "KM52", std::vector<uint8_t>(64, 0x11));
    steps::toExchange(line);
    line.txEmpty();
    line.receive(">i>i");
    line.receive(">");
    line.receive("p");
    line.receive(std::vector<uint8_t>(kRecord.begin(), kRecord.begin() + 40));
    line.takeFrames();
    line.runTicks(1000);  // the record stays incomplete: request again
    ASSERT_EQ(line.takeFrames().size(), 1u);
    line.txEmpty();
    line.receive(std::vector<uint8_t>(kRecord.begin() + 40, kRecord.end()));  // stray rest
    EXPECT_EQ(line.line(kPhaseLine), "\r\nExchanging parameters...\r\n");
    line.receive(">p");
    line.receive(std::vector<uint8_t>(kRecord.begin(), kRecord.begin() + 10));
    line.receive(std::vector<uint8_t>(kRecord.begin() + 10, kRecord.end()));
    EXPECT_EQ(line.line(kPhaseLine), "\nErasing flash. Please wait...\r\n");
    EXPECT_EQ(line.frames.back().bytes, bytesOf("<e"));
    EXPECT_EQ(line.frames.back().speed, 115200u);
    EXPECT_EQ(engine.totalBlocks, 4);  // (4 + 64) / 16
}

struct RefusedCase {
    std::vector<uint8_t> record;
    int32_t mode;
    std::string fileId;
    std::string phaseText;
    int32_t result;
};

TEST(Connection, RefusedRecordShowsReasonAndEndsThroughAbortHandshake)
{
    const RefusedCase cases[] = {
        {parameterRecord("KM52", '1', 16, 0xFF, "DOWNLX"), kModeNormal, "KM52",
         "\nAborted - Incompatible download code\r\nMobile code : DOWNLX1.x\r\n"
         "This program: DOWNLD1.0\r\n",
         8},
        {parameterRecord("KM52", '2', 16, 0xFF), kModeNormal, "KM52",
         "\nAborted - Incompatible download code\r\nMobile code : DOWNLD2.x\r\n"
         "This program: DOWNLD1.0\r\n",
         8},
        {parameterRecord("KM52", '1', 0, 0xFF), kModeNormal, "KM52",
         "\nAborted - Incompatible download code\r\nMobile code : DOWNLD1.x\r\n"
         "This program: DOWNLD1.0\r\n",
         8},
        {parameterRecord("KM52", '1', 16, 0xFF), kModeNormal, "KM21",
         "\nAborted - Product ID mismatch\r\nMobile's ID: KM52\r\nFile's   ID: KM21\r\n", 2},
        {parameterRecord("KM52", '0', 0, 0xFF), kModeNormal, "KM52",
         "\nAborted - Incompatible download code\r\nUse the Erase and Download option\r\n", 2},
    };
    for (const RefusedCase& c : cases) {
        for (bool answered : {false, true}) {
            ScriptedLine line;
            Engine& engine = line.engine;
            loadReleaseFile(engine, c.fileId, std::vector<uint8_t>(64, 0x11));
            steps::toExchange(line, c.mode, 57600);
            steps::giveRecord(line, c.record);
            EXPECT_EQ(line.line(kPhaseLine), c.phaseText);
            EXPECT_EQ(line.line(kAdviceLine), "\r\n");
            ASSERT_EQ(line.frames.back().bytes, bytesOf("<a")) << c.phaseText;
            EXPECT_EQ(line.frames.back().speed, 57600u);
            if (answered) {
                line.txEmpty();
                line.receive(">a");
                EXPECT_EQ(line.results, std::vector<int32_t>{4});
            } else {
                steps::abortUnanswered(line);
                EXPECT_EQ(line.results, std::vector<int32_t>{c.result}) << c.phaseText;
            }
            EXPECT_EQ(line.line(kPhaseLine), c.phaseText);
        }
    }
}

TEST(Connection, FileShorterThanProductIdIsAMismatch)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    loadReleaseFile(engine, "KM5", {});
    steps::toExchange(line, kModeNormal);
    steps::giveRecord(line, parameterRecord("KM52", '1', 16, 0xFF));
    EXPECT_EQ(line.line(kPhaseLine).rfind("\nAborted - Product ID mismatch\r\n", 0), 0u);
    EXPECT_EQ(line.frames.back().bytes, bytesOf("<a"));
}

TEST(Connection, BlockSizeTooLargeEndsWithResultFiveWithoutAllocating)
{
    // Beyond the largest frame a signed 32-bit count can hold (2 * size + 4 > INT32_MAX).
    for (int32_t size : {0x7FFFFFFF, 1073741822}) {
        ScriptedLine line;
        Engine& engine = line.engine;
        loadReleaseFile(engine, "KM52", std::vector<uint8_t>(64, 0x11));
        steps::toExchange(line, kModeNormal);
        steps::giveRecord(line, parameterRecord("KM52", '1', size, 0xFF));
        EXPECT_EQ(line.line(kPhaseLine),
                  "\nAborted - Block size " + std::to_string(size) + " too large\r\n");
        EXPECT_EQ(engine.frameBuffer, nullptr);
        EXPECT_EQ(engine.readBuffer, nullptr);
        EXPECT_EQ(line.frames.back().bytes, bytesOf("<a"));
        steps::abortUnanswered(line);
        EXPECT_EQ(line.results, std::vector<int32_t>{5});
    }
}

TEST(Connection, PatchFlashIsRefusedPlainlyAndEndsWithResultTwo)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    loadReleaseFile(engine, "KM52", std::vector<uint8_t>(64, 0x11));
    steps::toExchange(line, kModePatch);
    steps::giveRecord(line, parameterRecord("KM52", '1', 16, 0xFF));
    EXPECT_EQ(line.line(kPhaseLine),
              "\nAborted - Patch flash is not available\r\nUse the Erase and Download option\r\n");
    EXPECT_EQ(line.frames.back().bytes, bytesOf("<a"));
    line.takeFrames();
    steps::abortUnanswered(line);
    line.runTicks(5000);
    EXPECT_EQ(line.results, std::vector<int32_t>{2});
    // Not a parameter request in sight: only the one repeat of the abort.
    auto sent = line.takeFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, bytesOf("<a"));
}

TEST(Connection, LeftoverBuffersAreReleasedBeforeNewOnesAreAllocated)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    loadReleaseFile(engine, "KM52", std::vector<uint8_t>(64, 0x11));
    // As an operator's Abort leaves them: no result was posted to release them.
    engine.frameBuffer = static_cast<uint8_t*>(std::malloc(100));
    engine.readBuffer = static_cast<uint8_t*>(std::malloc(48));
    steps::toExchange(line, kModeNormal);
    steps::giveRecord(line, parameterRecord("KM52", '1', 16, 0xFF));
    ASSERT_NE(engine.frameBuffer, nullptr);
    EXPECT_EQ(engine.frameBuffer[0], '<');
    EXPECT_EQ(engine.frameBuffer[1], 'w');
    // The leak checker of the sanitizer build reports the old buffers if they were dropped.
}

}  // namespace

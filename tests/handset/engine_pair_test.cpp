// The download engine against the virtual handset, in one process: the engine's frames (from
// the scripted line) go into the handset's machine, its answers come back at the line speed
// in force. What the engine encodes the handset must decode, and both must agree on the
// checksum, blank blocks included; injected faults must lead to the engine's outcomes.
#include <gtest/gtest.h>

#include "engine/engine_kit.h"
#include "engine/engine_state.h"
#include "engine/handlers.h"
#include "machine_harness.h"
#include "tests/support/scripted_line.h"

namespace {

struct Pair {
    ScriptedLine line;
    Engine& engine = line.engine;
    HostSide handset;

    // Runs the download until the engine posts a result (or gives up after `steps` rounds).
    void run(int32_t mode, int32_t speed, int steps = 2000)
    {
        handset.options.eraseMs = 5;
        {
            EngineLock lock(engine);
            initEngine(engine, mode, 19200, speed, 0);
        }
        beginDownload(engine);
        for (int i = 0; i < steps && line.results.empty(); ++i) {
            const std::vector<SentFrame> frames = line.takeFrames();
            for (const SentFrame& f : frames)
                handset.m().receive(f.bytes.data(), f.bytes.size(), handset.now, f.speed);
            if (!frames.empty())
                line.txEmpty();
            deliverAnswers();
        }
    }

    // Lets the handset's time run until it has answered; an answer at a speed other than the
    // engine's line is noise the engine never recognises, so it is left out.
    void deliverAnswers()
    {
        handset.speed = line.speed();
        for (int ms = 0; ms < 1000 && handset.sent.empty() && handset.m().answersPending(); ++ms)
            handset.run(1000);
        for (const Transmission& t : handset.sent)
            if (t.speed == line.speed())
                line.receive(t.bytes);
        handset.sent.clear();
    }
};

std::vector<uint8_t> imageOf(const std::vector<Bytes>& blocks, size_t tail = 0)
{
    std::vector<uint8_t> image;
    for (const Bytes& b : blocks)
        image.insert(image.end(), b.begin(), b.end());
    image.insert(image.end(), tail, 0x42);
    return image;
}

std::vector<Bytes> sampleBlocks(size_t size)
{
    std::vector<Bytes> blocks;
    for (uint32_t n = 0; n < 7; ++n) {
        Bytes b(size);
        for (size_t i = 0; i < size; ++i)
            b[i] = static_cast<uint8_t>(i % 37 < 9 ? 0x41 : (i * 31 + n) % 7 == 0 ? 0x00 : i * 13 + n);
        blocks.push_back(b);
    }
    blocks[1].assign(size, 0xFF);
    blocks[3].assign(size, 0x00);
    blocks[5].assign(size, 0xFF);   // the image ends with two blank blocks, never sent
    blocks[6].assign(size, 0xFF);
    return blocks;
}

}  // namespace

TEST(EngineAndHandset, AgreeOnEveryRoadAndTheFlashIsTheImage)
{
    struct Road {
        int32_t mode;
        char protocol;
        uint8_t blank;
        int32_t speed;
    };
    const Road roads[] = {{kModeEraseAndDownload, '0', 0xFF, 115200}, {kModeEraseAndDownload, '0', 0x00, 57600},
                          {kModeEraseAndDownload, '1', 0x55, 38400},  {kModeNormal, '1', 0xFF, 19200},
                          {kModeNormal, '1', 0x00, 115200}};
    const std::vector<Bytes> blocks = sampleBlocks(128);
    for (const Road& road : roads) {
        SCOPED_TRACE(std::string("protocol ") + road.protocol + " blank " + std::to_string(road.blank));
        Pair pair;
        pair.handset.options.protocol = road.protocol;
        pair.handset.options.blank = road.blank;
        pair.handset.options.blockSize = 128;
        loadReleaseFile(pair.engine, "KM52", imageOf(blocks, 100));
        pair.run(road.mode, road.speed);
        EXPECT_EQ(pair.line.results, std::vector<int32_t>{0});
        const HandsetMachine& m = pair.handset.m();
        ASSERT_EQ(m.flashOutBlocks(), blocks.size());
        for (uint32_t n = 0; n < blocks.size(); ++n)
            EXPECT_EQ(m.flash().block(n), blocks[n]) << "block " << n;
        EXPECT_EQ(m.report().downloads.at(0).trailingBlankBlocks, 2u);
        EXPECT_EQ(m.report().violationCount, 0u);
        for (const Violation& v : m.report().violations)
            ADD_FAILURE() << v.what;
    }
}

TEST(EngineAndHandset, FaultsLeadToTheEnginesOutcomes)
{
    struct Case {
        Fault fault;
        const char* schedule;
        int32_t result;
        const char* retryKind;   // the frame the engine had to repeat, if any
    };
    const Case cases[] = {
        {Fault::EraseRefusal, "3", 0, "erase"},         {Fault::BlockRefusal, "2", 0, "write"},
        {Fault::WrongBlockNumber, "2", 0, "write"},     {Fault::Noise, "all", 0, nullptr},
        {Fault::CompletionRefusal, "1", 6, nullptr},    {Fault::WrongChecksum, "1", 4, nullptr},
    };
    const std::vector<Bytes> blocks = sampleBlocks(64);
    for (const Case& c : cases) {
        SCOPED_TRACE(faultName(c.fault));
        Pair pair;
        pair.handset.options.blockSize = 64;
        pair.handset.options.protocol = '0';
        pair.handset.options.blank = 0x00;
        FaultSchedule s;
        std::string error;
        ASSERT_TRUE(parseFaultSchedule(c.schedule, s, error));
        pair.handset.options.faults.set(c.fault, s);
        loadReleaseFile(pair.engine, "KM52", imageOf(blocks));
        pair.run(kModeEraseAndDownload, 115200);
        EXPECT_EQ(pair.line.results, std::vector<int32_t>{c.result});
        const HandsetMachine& m = pair.handset.m();
        EXPECT_GT(m.faults().injected(c.fault), 0u);
        if (c.retryKind) {
            EXPECT_EQ(m.report().retries.at(c.retryKind), std::string(c.schedule) == "3" ? 3u : 2u);
        }
        EXPECT_EQ(m.report().violationCount, 0u);
    }
}

TEST(EngineAndHandset, ProductMismatchIsAbortedAndAcknowledged)
{
    Pair pair;
    pair.handset.options.productId = "KM21";
    loadReleaseFile(pair.engine, "KM52", imageOf(sampleBlocks(1024)));
    pair.run(kModeNormal, 57600);
    EXPECT_EQ(pair.line.results, std::vector<int32_t>{4});
    EXPECT_EQ(pair.handset.m().report().downloads.at(0).outcome, "aborted");
    EXPECT_EQ(pair.handset.m().downloadsEnded(), 1u);
}

// Two threads drive whole downloads at once, as the reader thread and the dialog's timer do:
// a handset thread raises tx-empty for every frame written and delivers the answers (split,
// with noise), while the front end's thread runs ticks and presses Continue without pause.
// Run under ThreadSanitizer; every download must still complete with the image intact.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "engine/engine_kit.h"
#include "engine/handlers.h"
#include "engine/release_file.h"
#include "tests/support/scripted_line.h"
#include "transport/frame_io.h"

namespace {

// --- a port and a front end that two threads may use ------------------------------------

struct SharedLine {
    std::mutex mutex;
    std::condition_variable written;
    std::deque<std::vector<uint8_t>> frames;  // written, not yet taken by the handset
    std::vector<int32_t> results;
    std::string phase, advice;
    int32_t continueEnabled = 0;
};

SharedLine* shared = nullptr;

int portToken;
SerialPort* const port = reinterpret_cast<SerialPort*>(&portToken);

bool portWrite(SerialPort*, const uint8_t* bytes, uint32_t length)
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->frames.emplace_back(bytes, bytes + length);
    shared->written.notify_one();
    return true;
}
void portSetEventMask(SerialPort*, uint32_t) {}
bool portWaitEvent(SerialPort*, uint32_t* events) { *events = 0; return true; }
int32_t portBytesWaiting(SerialPort*) { return 0; }
int32_t portRead(SerialPort*, uint8_t*, uint32_t) { return 0; }
void portPurge(SerialPort*) {}
void portSetSpeed(SerialPort*, uint32_t) {}
void portClose(SerialPort*) {}
const SerialPortOps ops = {portWrite, portSetEventMask, portWaitEvent, portBytesWaiting,
                           portRead, portPurge, portSetSpeed, portClose};

void feText(void*, int32_t control, const char* text)
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    (control == kPhaseLine ? shared->phase : shared->advice) = text;
}
void feProgress(void*, int32_t) {}
void feContinue(void*, int32_t enable)
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->continueEnabled = enable;
}
void feResult(void*, int32_t result)
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->results.push_back(result);
    shared->written.notify_one();
}
const FrontEnd frontEnd = {nullptr, feText, feProgress, feProgress, feContinue, feResult, nullptr};

// --- the handset ---------------------------------------------------------------------------

struct Plan {
    int32_t mode;
    char protocol;
    uint8_t blank;
    int32_t gang;
    bool ignoreFirstRequest;  // lets the exchange time out once
};

constexpr int32_t kBlock = 128;

class Handset {
public:
    Handset(Engine& engine, const Plan& plan, uint32_t seed)
        : engine_(engine), plan_(plan), random_(seed) {}

    // Reader thread: runs until a result has been posted.
    void run()
    {
        while (!finished()) {
            std::vector<uint8_t> frame;
            if (!take(frame))
                continue;
            engine_.lineTxEmpty();
            deliver(answer(frame));
        }
    }

    std::map<uint16_t, std::vector<uint8_t>> written;

private:
    bool finished()
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        return !shared->results.empty();
    }

    bool take(std::vector<uint8_t>& frame)
    {
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->written.wait_for(lock, std::chrono::milliseconds(5), [] {
            return !shared->frames.empty() || !shared->results.empty();
        });
        if (shared->frames.empty())
            return false;
        frame = std::move(shared->frames.front());
        shared->frames.pop_front();
        return true;
    }

    std::vector<uint8_t> answer(const std::vector<uint8_t>& f)
    {
        switch (f.size() >= 2 ? f[1] : 0) {
        case 'i': return bytesOf(">i");
        case 'p': {
            if (plan_.ignoreFirstRequest && requests_++ == 0)
                return {};
            auto a = bytesOf(">p");
            auto record = parameterRecord("KM52", plan_.protocol, kBlock, plan_.blank);
            a.insert(a.end(), record.begin(), record.end());
            return a;
        }
        case 'e': return bytesOf(">e");
        case 'w': {
            if (random_() % 7 == 0)
                return bytesOf(">Wx");  // refused: the same block comes again
            written[static_cast<uint16_t>(f[2] << 8 | f[3])] = decode(f);
            return {'>', 'w', f[2], f[3]};
        }
        case 'c': return {'>', 'c', f[2], f[3]};
        case 'a': return bytesOf(">a");
        default: return {};
        }
    }

    std::vector<uint8_t> decode(const std::vector<uint8_t>& f) const
    {
        std::vector<uint8_t> out;
        const uint8_t e = plan_.blank;
        for (size_t i = 4; i < f.size();) {
            if (e == 0xFF || f[i] != e) {
                out.push_back(f[i++]);
            } else if (f[i + 1] == e) {
                out.push_back(e);
                i += 2;
            } else {
                out.insert(out.end(), f[i + 2], f[i + 1]);
                i += 3;
            }
        }
        return out;
    }

    // Noise before the answer, and the answer in pieces.
    void deliver(std::vector<uint8_t> bytes)
    {
        if (bytes.empty())
            return;
        if (random_() % 3 == 0)
            bytes.insert(bytes.begin(), {'z', 'i'});
        size_t at = 0;
        while (at < bytes.size()) {
            const size_t n = std::min<size_t>(bytes.size() - at, 1 + random_() % 9);
            engine_.lineBytes(bytes.data() + at, static_cast<uint32_t>(n));
            at += n;
        }
    }

    Engine& engine_;
    Plan plan_;
    std::minstd_rand random_;
    int requests_ = 0;
};

// --- the test ------------------------------------------------------------------------------

std::vector<uint8_t> blockOf(uint32_t seed)
{
    std::vector<uint8_t> block(kBlock);
    std::minstd_rand random(seed + 1);
    for (auto& b : block)
        b = static_cast<uint8_t>(random() % 4 == 0 ? 0x00 : random());
    if (seed % 5 == 3)
        block.assign(kBlock, 0xFF);  // blank: never sent
    return block;
}

TEST(Threads, DownloadsCompleteWhileTicksAndContinueRunConcurrently)
{
    const Plan plans[] = {
        {kModeEraseAndDownload, '0', 0xFF, 0, false}, {kModeNormal, '1', 0x00, 1, false},
        {kModeEraseAndDownload, '1', 0x00, 0, true},  {kModeNormal, '1', 0xFF, 1, true},
        {kModeNormal, '1', 0x00, 0, false},           {kModeNormal, '1', 0x00, 1, false},
    };
    uint32_t seed = 1;
    for (const Plan& plan : plans) {
        SCOPED_TRACE("mode " + std::to_string(plan.mode) + " gang " + std::to_string(plan.gang));
        SharedLine line;
        shared = &line;
        // The single-threaded fixture makes the engine; then the two-thread port, front end
        // and real clock take over.
        ScriptedLine scripted;
        Engine& engine = scripted.engine;
        setClockSource(engine, nullptr);
        setFrontEnd(engine, &frontEnd);
        engine.io.attach(&ops, port);

        std::vector<std::vector<uint8_t>> blocks;
        std::vector<uint8_t> image;
        for (int i = 0; i < 24; ++i) {
            blocks.push_back(blockOf(seed * 100 + static_cast<uint32_t>(i)));
            image.insert(image.end(), blocks.back().begin(), blocks.back().end());
        }
        loadReleaseFile(engine, "KM52", image);
        {
            EngineLock lock(engine);
            initEngine(engine, plan.mode, 19200, 115200, plan.gang);
        }
        Handset handset(engine, plan, seed++);
        std::thread reader([&] { handset.run(); });

        beginDownload(engine);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::minstd_rand random(seed);
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(line.mutex);
                if (!line.results.empty())
                    break;
            }
            if (std::chrono::steady_clock::now() > deadline)
                break;
            runTick(engine);
            pressContinue(engine);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        }
        reader.join();
        engine.io.setRunning(false);

        std::lock_guard<std::mutex> lock(line.mutex);
        EXPECT_EQ(line.results, std::vector<int32_t>{0});
        size_t sent = 0;
        for (size_t i = 0; i < blocks.size(); ++i) {
            const auto found = handset.written.find(static_cast<uint16_t>(i));
            if (blocks[i] == std::vector<uint8_t>(kBlock, 0xFF)) {
                EXPECT_EQ(found, handset.written.end()) << i;
                continue;
            }
            ++sent;
            ASSERT_NE(found, handset.written.end()) << i;
            EXPECT_EQ(found->second, blocks[i]) << i;
        }
        EXPECT_EQ(handset.written.size(), sent);
    }
    shared = nullptr;
}

}  // namespace

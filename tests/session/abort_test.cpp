// The download session's abort, in every phase, on a real pseudo-terminal against the
// virtual handset: from the abort on nothing more reaches the line, and once the session
// has ended the port is closed (exactly once) and free for the next download.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "session/session.h"
#include "tests/session/handset_process.h"
#include "transport/port_open.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The platform's port operations, watched: writes after the abort, and closes.
std::atomic<bool> aborted{false};
std::atomic<int> writesAfterAbort{0};
std::atomic<int> closes{0};

bool watchedWrite(SerialPort* p, const uint8_t* b, uint32_t n)
{
    if (aborted.load())
        ++writesAfterAbort;
    return platformPortOps()->write(p, b, n);
}
void watchedClose(SerialPort* p)
{
    ++closes;
    platformPortOps()->close(p);
}
const SerialPortOps* watchedOps()
{
    static SerialPortOps ops = [] {
        SerialPortOps o = *platformPortOps();
        o.write = watchedWrite;
        o.close = watchedClose;
        return o;
    }();
    return &ops;
}

// tarvolo-handset on its own pty, reachable through `link`.
class Handset {
public:
    Handset(const fs::path& link, const std::vector<std::string>& args) : process_(link, args) {}

private:
    HandsetProcess process_;
};

struct AbortCase {
    Phase phase;
    DownloadChoice choice;
    std::vector<std::string> handset;
};

const AbortCase kCases[] = {
    {Phase::Waiting, {115200, kModeEraseAndDownload, false}, {"--silent", "inquiry"}},
    {Phase::GangReady, {115200, kModeNormal, true}, {}},
    {Phase::Exchanging, {115200, kModeEraseAndDownload, false}, {"--silent", "parameter"}},
    {Phase::Erasing, {115200, kModeEraseAndDownload, false}, {"--erase-ms", "30000"}},
    {Phase::Writing, {115200, kModeNormal, false}, {"--silent", "block"}},
    {Phase::Checksumming, {115200, kModeNormal, false}, {"--silent", "checksum"}},
    {Phase::Aborting, {115200, kModeNormal, false}, {"--product-id", "KM99", "--unanswered-abort"}},
};

// Ticks the session every 500 ms until it reaches `phase` (false after 20 s).
bool runUntil(DownloadSession& session, Phase phase)
{
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    auto nextTick = Clock::now();
    while (Clock::now() < deadline) {
        if (session.phase() == phase)
            return true;
        if (Clock::now() >= nextTick) {
            session.tick();
            nextTick += std::chrono::milliseconds(500);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

}  // namespace

TEST(SessionAbort, InEveryPhaseSendsNothingMoreAndClosesThePort)
{
    const fs::path dir = fs::temp_directory_path() / ("tarvolo-abort-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path release = dir / "image.rel";
    {
        std::ofstream out(release, std::ios::binary);
        out << "KM52";
        for (int i = 0; i < 3 * 256; ++i)
            out.put(static_cast<char>(i * 7));
    }
    for (const AbortCase& c : kCases) {
        SCOPED_TRACE(phaseName(c.phase));
        Handset handset(dir / "tty", c.handset);
        aborted = false;
        writesAfterAbort = 0;
        closes = 0;
        std::string error;
        SerialPort* port = openSerialPort((dir / "tty").c_str(), &error);
        ASSERT_NE(port, nullptr) << error;

        DownloadSession session(nullptr);
        ASSERT_TRUE(session.openRelease(release.string()));
        ASSERT_TRUE(session.start({watchedOps(), port}, c.choice));
        ASSERT_TRUE(runUntil(session, c.phase));

        aborted = true;
        session.abort();
        EXPECT_EQ(session.phase(), Phase::Ended);
        // Long enough for an inquiry's pause, a time-out's tick or a late answer to act.
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            session.tick();
        }
        session.end();
        EXPECT_EQ(writesAfterAbort.load(), 0);
        EXPECT_EQ(closes.load(), 1);
        EXPECT_FALSE(session.hasResult());

        // Free again at once.
        SerialPort* again = openSerialPort((dir / "tty").c_str(), &error);
        EXPECT_NE(again, nullptr) << error;
        if (again)
            platformPortOps()->close(again);
    }
    fs::remove_all(dir);
}

// A release file that cannot be opened ends the download as any other outcome does: result 1,
// once, through the front end, and the session in the Ended phase.
TEST(SessionRelease, MissingReleaseFilePostsResultOne)
{
    std::vector<int32_t> results;
    FrontEnd fe{};
    fe.context = &results;
    fe.postResult = [](void* context, int32_t result) {
        static_cast<std::vector<int32_t>*>(context)->push_back(result);
    };
    DownloadSession session(&fe);
    EXPECT_FALSE(session.openRelease("/no/such/folder/missing.rel"));
    EXPECT_EQ(results, std::vector<int32_t>{kResultFileNotOpened});
    EXPECT_EQ(session.result(), kResultFileNotOpened);
    EXPECT_EQ(session.phase(), Phase::Ended);
    session.end();
    EXPECT_EQ(results.size(), 1u);
}

// Two downloads in one process, at the same time, each on its own thread, its own
// pseudo-terminal and its own virtual handset: sessions share no state, so each completes
// with its handset's flash equal to its own image, and each line carries only its own
// download's frames. Runs under ThreadSanitizer (label threads) and AddressSanitizer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session/session.h"
#include "tests/session/handset_process.h"
#include "transport/port_open.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr size_t kBlock = 256;
constexpr size_t kBlocks = 40;

// Every frame written, by the port it was written to.
struct WireLog {
    std::mutex mutex;
    std::map<SerialPort*, std::vector<Bytes>> frames;
} wireLog;

bool loggedWrite(SerialPort* port, const uint8_t* bytes, uint32_t length)
{
    {
        std::lock_guard<std::mutex> lock(wireLog.mutex);
        wireLog.frames[port].emplace_back(bytes, bytes + length);
    }
    return platformPortOps()->write(port, bytes, length);
}

const SerialPortOps* loggedOps()
{
    static const SerialPortOps ops = [] {
        SerialPortOps o = *platformPortOps();
        o.write = loggedWrite;
        return o;
    }();
    return &ops;
}

Bytes imageOf(uint32_t seed)
{
    Bytes image(kBlock * kBlocks);
    uint32_t x = seed;
    for (uint8_t& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return image;
}

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One download, start to result, on the calling thread. Returns the result (-1: none).
int32_t runDownload(const fs::path& release, const fs::path& tty, SerialPort** usedPort)
{
    std::string error;
    SerialPort* port = openSerialPort(tty.c_str(), &error);
    *usedPort = port;
    if (!port) {
        ADD_FAILURE() << error;
        return -1;
    }
    DownloadSession session(nullptr);
    if (!session.openRelease(release.string()))
        return session.result();
    session.start({loggedOps(), port}, {115200, kModeEraseAndDownload, false});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!session.hasResult() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        session.tick();
    }
    session.end();
    return session.result();
}

struct Line {
    fs::path dir;
    Bytes image;
    SerialPort* port = nullptr;
    int32_t result = -1;
};

}  // namespace

TEST(TwoDownloads, RunAtOnceInOneProcessEachOnItsOwnLine)
{
    const fs::path top = fs::temp_directory_path() / ("tarvolo-two-" + std::to_string(getpid()));
    Line lines[2];
    for (int i = 0; i < 2; ++i) {
        lines[i].dir = top / std::to_string(i);
        fs::create_directories(lines[i].dir);
        lines[i].image = imageOf(static_cast<uint32_t>(i + 1) * 7919u);
        std::ofstream out(lines[i].dir / "image.rel", std::ios::binary);
        out << "KM52";
        out.write(reinterpret_cast<const char*>(lines[i].image.data()),
                  static_cast<std::streamsize>(lines[i].image.size()));
    }
    {
        HandsetProcess first(lines[0].dir / "tty", {"--flash-out", (lines[0].dir / "flash").string(),
                                                    "--image-blocks", std::to_string(kBlocks)});
        HandsetProcess second(lines[1].dir / "tty", {"--flash-out", (lines[1].dir / "flash").string(),
                                                     "--image-blocks", std::to_string(kBlocks)});
        std::thread threads[2];
        for (int i = 0; i < 2; ++i) {
            Line& line = lines[i];
            threads[i] = std::thread([&line] {
                line.result = runDownload(line.dir / "image.rel", line.dir / "tty", &line.port);
            });
        }
        for (std::thread& t : threads)
            t.join();
        first.stop();
        second.stop();
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("line " + std::to_string(i));
        const Line& line = lines[i];
        EXPECT_EQ(line.result, kResultCompleted);
        EXPECT_EQ(readFile(line.dir / "flash"), line.image);
        // Every write frame on this line carries a block of this line's image, and all of
        // them went out here.
        std::lock_guard<std::mutex> lock(wireLog.mutex);
        size_t blocksSeen = 0;
        for (const Bytes& f : wireLog.frames[line.port]) {
            if (f.size() < 4 || f[0] != '<' || f[1] != 'w')
                continue;
            const size_t n = static_cast<size_t>(f[2] << 8 | f[3]);
            ASSERT_LT(n, kBlocks);
            EXPECT_EQ(Bytes(f.begin() + 4, f.end()),
                      Bytes(line.image.begin() + static_cast<long>(n * kBlock),
                            line.image.begin() + static_cast<long>((n + 1) * kBlock)))
                << "block " << n;
            ++blocksSeen;
        }
        EXPECT_GE(blocksSeen, kBlocks);
    }
    fs::remove_all(top);
}

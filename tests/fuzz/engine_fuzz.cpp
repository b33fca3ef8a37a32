// libFuzzer harness of the download engine: whatever a handset sends, in whatever pieces and
// at whatever times, the engine neither crashes nor reads or writes out of bounds, and every
// frame it puts on the line is one of the wire vocabulary's, with a write frame carrying
// exactly one block of the release file and the checksum frame the image's checksum.
//
// Input: one configuration byte (mode, gang, speed), then a script of actions, each one byte
// (the low 3 bits choose the action, the high 5 bits are its argument n):
//   0, 1  deliver the next n + 1 input bytes as one chunk
//   2     deliver the next 4 (n + 1) input bytes as one chunk
//   3     transmit-empty
//   4     transmit-empty and the next n + 1 bytes in the same event
//   5     advance the clock by 100 n ms, then tick
//   6     advance the clock by 4000 n ms, then tick
//   7     press Continue; with n = 31, the operator's Abort: the reader stops, and from then
//         on only the ticks reach the engine (the dialog's timer runs until it closes)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/engine_kit.h"
#include "engine/engine_state.h"
#include "engine/handlers.h"
#include "tests/fuzz/fuzz_line.h"

namespace {

constexpr char kProductId[4] = {'K', 'M', '5', '2'};

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// The image after the product identifier: data, a blank stretch, long runs, a stretch of
// 0x00 (escape bytes when the handset's blank byte is 0x00) and an odd tail, so that block
// sizes from 1 to a few hundred meet every kind of block and a short last piece.
std::vector<uint8_t> makeImage()
{
    std::vector<uint8_t> image;
    uint32_t x = 12345;
    auto noise = [&x]() {
        x = x * 1103515245u + 12345u;
        return static_cast<uint8_t>(x >> 16);
    };
    for (int i = 0; i < 64; ++i)
        image.push_back(noise());
    image.insert(image.end(), 64, 0xFF);
    image.insert(image.end(), 40, 0x41);
    image.insert(image.end(), 10, 0x00);
    for (int i = 0; i < 14; ++i)
        image.push_back(noise());
    image.insert(image.end(), 64, 0x00);
    image.insert(image.end(), 300, 0x7E);  // longer than one run token holds
    for (int i = 0; i < 45; ++i)
        image.push_back(noise());
    return image;
}

const std::vector<uint8_t> image = makeImage();
std::string releasePath;

void removeReleaseFile() { std::remove(releasePath.c_str()); }

// The release file is written once; each run opens it afresh, as a download does.
void writeReleaseFile()
{
    char path[] = "/tmp/tarvolo-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    require(fd >= 0);
    require(write(fd, kProductId, 4) == 4);
    require(write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size()));
    close(fd);
    releasePath = path;
    std::atexit(removeReleaseFile);
}

uint16_t expectedChecksum()
{
    Engine& engine = fuzzline::currentEngine();
    const size_t size = static_cast<size_t>(engine.blockSize);
    const size_t whole = image.size() / size * size;
    if (engine.checksumKind == kChecksumCrc) {
        uint16_t crc = 0xFFFF;
        for (size_t i = 0; i < whole; ++i) {
            crc ^= image[i];
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
        }
        return static_cast<uint16_t>(~crc);
    }
    uint32_t sum = 0;
    for (size_t i = 0; i < whole; ++i)
        sum += image[i];
    return static_cast<uint16_t>(sum);
}

// Expands a write payload: raw when the blank byte is 0xFF, otherwise the three token forms
// X, E E and E X n (X not E, 4 <= n <= 255). Anything else is not a frame of ours.
std::vector<uint8_t> decodePayload(const uint8_t* p, uint32_t n, uint8_t escape)
{
    if (escape == 0xFF)
        return std::vector<uint8_t>(p, p + n);
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < n;) {
        if (p[i] != escape) {
            out.push_back(p[i++]);
            continue;
        }
        require(i + 1 < n);
        if (p[i + 1] == escape) {
            out.push_back(escape);
            i += 2;
            continue;
        }
        require(i + 2 < n && p[i + 2] >= 4);
        out.insert(out.end(), p[i + 2], p[i + 1]);
        i += 3;
    }
    return out;
}

void checkWriteFrame(const uint8_t* bytes, uint32_t length)
{
    Engine& engine = fuzzline::currentEngine();
    require(length >= 4 && engine.blockSize >= 1);
    const size_t size = static_cast<size_t>(engine.blockSize);
    const size_t number = static_cast<size_t>(bytes[2] << 8 | bytes[3]);
    const std::vector<uint8_t> block = decodePayload(bytes + 4, length - 4, engine.blankByte);
    require(block.size() == size);
    require((number + 1) * size <= image.size());
    bool blank = true;
    for (size_t i = 0; i < size; ++i) {
        require(block[i] == image[number * size + i]);
        blank = blank && block[i] == 0xFF;
    }
    require(!blank);  // blank blocks cost no line time
}

uint32_t speedOnLine(int32_t speed)
{
    return speed == 38400 || speed == 57600 || speed == 115200 ? static_cast<uint32_t>(speed)
                                                               : 19200;
}

bool checksumFrameSeen = false;

void checkFrame(const uint8_t* bytes, uint32_t length)
{
    Engine& engine = fuzzline::currentEngine();
    require(fuzzline::resultsPosted() == 0);  // nothing goes out after the outcome
    require(length >= 2 && bytes[0] == '<');
    switch (bytes[1]) {
    case 'i':
    case 'e':
        require(length == 2);
        break;
    case 'a':
        require(length == 2 && fuzzline::currentSpeed() == speedOnLine(engine.chosenSpeed));
        break;
    case 'p':
        require(length == 4 && bytes[2] >= '0' && bytes[2] <= '4' && bytes[3] == 0xFF);
        require(fuzzline::currentSpeed() == 19200);
        break;
    case 'c':
        require(length == 4);
        require((bytes[2] << 8 | bytes[3]) == expectedChecksum());
        checksumFrameSeen = true;
        break;
    case 'w':
        checkWriteFrame(bytes, length);
        break;
    default:
        std::abort();
    }
}

void checkResult(int32_t result)
{
    require(fuzzline::resultsPosted() == 1);
    require(result == 0 || result == 2 || result == 3 || result == 4 || result == 5 ||
            result == 6 || result == 8);
    require(result != 0 || checksumFrameSeen);
}

struct Script {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    bool more() const { return at < size; }
    uint8_t next() { return data[at++]; }
    void deliver(size_t n)
    {
        if (n > size - at)
            n = size - at;
        if (!fuzzline::lineStopped())
            fuzzline::receive(data + at, static_cast<uint32_t>(n));
        at += n;
    }
};

void txEmpty()
{
    if (!fuzzline::lineStopped())
        fuzzline::txEmpty();
}

void runAction(Script& script)
{
    const uint8_t op = script.next();
    const uint32_t n = op >> 3;
    switch (op & 7) {
    case 0:
    case 1: script.deliver(n + 1); break;
    case 2: script.deliver(4 * (n + 1)); break;
    case 3: txEmpty(); break;
    case 4:
        txEmpty();
        script.deliver(n + 1);
        break;
    case 5: fuzzline::tickAfter(static_cast<int32_t>(100 * n)); break;
    case 6: fuzzline::tickAfter(static_cast<int32_t>(4000 * n)); break;
    default:
        if (n == 31)
            fuzzline::stopLine();
        else if (!fuzzline::lineStopped())
            fuzzline::pressContinueButton();
        break;
    }
}

const int32_t kSpeeds[] = {115200, 57600, 38400, 19200, 28800, 0};

}  // namespace

// The engine's memory, as far as this harness is concerned: a block size from the handset
// whose buffers would not fit meets a failed allocation (the engine's "too large" path)
// instead of costing the fuzzer time and memory. The link wraps malloc (CMakeLists.txt);
// the limit holds only while an input runs, never for libFuzzer's own allocations.
namespace {
constexpr size_t kEngineMemory = 1 << 20;
bool inputRunning = false;
}  // namespace

extern "C" void* __real_malloc(size_t size);
extern "C" void* __wrap_malloc(size_t size)
{
    if (inputRunning && size > kEngineMemory)
        return nullptr;
    return __real_malloc(size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    if (releasePath.empty())
        writeReleaseFile();
    const uint8_t config = data[0];
    const int32_t mode = config & 3;
    const int32_t gang = (config >> 2) & 1;
    const int32_t speed = kSpeeds[(config >> 3) % 6];

    checksumFrameSeen = false;
    inputRunning = true;
    fuzzline::begin(checkFrame, checkResult);
    FILE* file = std::fopen(releasePath.c_str(), "rb");
    require(file != nullptr);
    fuzzline::useReleaseFile(file);
    Engine& engine = fuzzline::currentEngine();
    {
        EngineLock lock(engine);
        initEngine(engine, mode, 19200, speed, gang);
    }
    beginDownload(engine);
    Script script{data + 1, size - 1};
    while (script.more())
        runAction(script);
    fuzzline::end();
    inputRunning = false;
    return 0;
}

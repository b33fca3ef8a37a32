// `tarvolo info` run as a program on generated release files of every shape. The expected
// figures are worked out here independently of the engine: a bitwise CRC, a plain sum, and
// the run-length encoding's length by its token rules.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/release_file.h"
#include "tests/engine/download_steps.h"
#include "tests/support/scripted_line.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ToolRun {
    int code;
    std::string out, err;
};

std::string quoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class InfoTool : public ::testing::Test {
public:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("tarvolo-cli-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const Bytes& bytes)
    {
        const std::string path = (dir_ / name).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    ToolRun run(const std::vector<std::string>& args)
    {
        std::string command = quoted(TARVOLO_TOOL);
        for (const std::string& a : args)
            command += " " + quoted(a);
        const std::string errPath = (dir_ / "stderr.txt").string();
        command += " 2>" + quoted(errPath);
        ToolRun r{-1, {}, {}};
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe)
            return r;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            r.out.append(buffer, n);
        const int status = ::pclose(pipe);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.err = slurp(errPath);
        return r;
    }

    std::filesystem::path dir_;
};

// --- independent expectations -------------------------------------------------------------

uint16_t crcX25(const Bytes& bytes)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return static_cast<uint16_t>(~crc);
}

uint16_t byteSum(const Bytes& bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return static_cast<uint16_t>(sum);
}

// Payload length by the token rules: each escape byte 2; a run of m equal other bytes
// floor(m/255) * 3, then 3 for a rest of 4 or more, else one byte per copy. 0xFF: raw.
uint64_t payloadLength(const Bytes& block, uint8_t escape)
{
    if (escape == 0xFF)
        return block.size();
    uint64_t length = 0;
    for (size_t i = 0; i < block.size();) {
        if (block[i] == escape) {
            length += 2;
            ++i;
            continue;
        }
        size_t j = i;
        while (j < block.size() && block[j] == block[i])
            ++j;
        const uint64_t m = j - i, rest = m % 255;
        length += m / 255 * 3 + (rest >= 4 ? 3 : rest);
        i = j;
    }
    return length;
}

struct Expected {
    uint64_t fileBytes, whole, shown, blank, frames, wire;
    uint16_t crc, sum;
};

Expected expect(const Bytes& file, size_t blockSize, uint8_t escape)
{
    Expected e{file.size(), 0, file.size() / blockSize, 0, 0, 0, 0, 0};
    Bytes counted;
    for (size_t at = 4; at + blockSize <= file.size(); at += blockSize) {
        const Bytes block(file.begin() + static_cast<long>(at),
                          file.begin() + static_cast<long>(at + blockSize));
        counted.insert(counted.end(), block.begin(), block.end());
        ++e.whole;
        if (block == Bytes(blockSize, 0xFF)) {
            ++e.blank;
        } else {
            ++e.frames;
            e.wire += payloadLength(block, escape) + 4;
        }
    }
    e.crc = crcX25(counted);
    e.sum = byteSum(counted);
    return e;
}

std::string hex4(uint16_t v)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", v);
    return text;
}

// The text output as ordered key/value pairs.
std::vector<std::pair<std::string, std::string>> lines(const std::string& out)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t start = 0;
    while (start < out.size()) {
        const size_t end = out.find('\n', start);
        const std::string line = out.substr(start, end - start);
        const size_t colon = line.find(": ");
        pairs.emplace_back(line.substr(0, colon), colon == std::string::npos ? "" : line.substr(colon + 2));
        start = end == std::string::npos ? out.size() : end + 1;
    }
    return pairs;
}

Bytes release(const std::string& id, const Bytes& image)
{
    Bytes file(id.begin(), id.end());
    file.insert(file.end(), image.begin(), image.end());
    return file;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes fill(size_t n, uint8_t b) { return Bytes(n, b); }

Bytes counting(size_t n, unsigned seed)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>((i * 31 + seed) % 253 + 1);
    return bytes;
}

// Runs the tool in both output forms and checks every figure against `file`.
void checkAgainst(InfoTool& t, const std::string& path, const Bytes& file, size_t blockSize, uint8_t escape,
                  const std::vector<std::string>& options, const std::string& shownId = "KM52")
{
    const Expected e = expect(file, blockSize, escape);
    std::vector<std::string> args = {"info"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(path);
    const ToolRun text = t.run(args);
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(text.err, "");
    const std::vector<std::pair<std::string, std::string>> want = {
        {"file", path},
        {"product id", shownId},
        {"file bytes", std::to_string(e.fileBytes)},
        {"block size", std::to_string(blockSize)},
        {"whole blocks", std::to_string(e.whole)},
        {"blocks shown", std::to_string(e.shown)},
        {"blank blocks", std::to_string(e.blank)},
        {"write frames", std::to_string(e.frames)},
        {"wire bytes", std::to_string(e.wire)},
        {"crc-16/x-25", hex4(e.crc)},
        {"byte sum", hex4(e.sum)},
        {"unsent bytes", std::to_string((file.size() - 4) % blockSize)},
    };
    EXPECT_EQ(lines(text.out), want);

    args.insert(args.begin() + 1, "--json");
    const ToolRun json = t.run(args);
    ASSERT_EQ(json.code, 0) << json.err;
    const nlohmann::json j = nlohmann::json::parse(json.out);
    const nlohmann::json wantJson = {
        {"file", path},          {"product_id", shownId},   {"file_bytes", e.fileBytes},
        {"block_size", blockSize}, {"whole_blocks", e.whole}, {"blocks_shown", e.shown},
        {"blank_blocks", e.blank}, {"write_frames", e.frames}, {"wire_bytes", e.wire},
        {"crc16_x25", e.crc},    {"byte_sum", e.sum},
        {"unsent_bytes", (file.size() - 4) % blockSize},
    };
    EXPECT_EQ(j, wantJson);
}

#define CHECK_INFO(...) checkAgainst(*this, __VA_ARGS__)

TEST_F(InfoTool, EmptyImage)
{
    const Bytes file = release("KM52", {});
    const std::string path = write("empty.rel", file);
    CHECK_INFO(path, file, 1024, 0xFF, {});
    CHECK_INFO(path, file, 2, 0xFF, {"--block-size", "2"});  // 2 blocks shown, none read
}

TEST_F(InfoTool, ShortLastPieceIsShownButNotSent)
{
    const Bytes whole = release("KM52", counting(48, 1) + fill(16, 0x00) + counting(16, 7));
    const std::string wholePath = write("whole.rel", whole);
    CHECK_INFO(wholePath, whole, 16, 0xFF, {"--block-size", "16"});
    for (size_t piece : {1u, 11u, 12u, 15u}) {
        const Bytes file = whole + counting(piece, 3);
        const std::string path = write("piece" + std::to_string(piece) + ".rel", file);
        CHECK_INFO(path, file, 16, 0xFF, {"--block-size", "16"});
        CHECK_INFO(path, file, 16, 0x00, {"--block-size", "16", "--blank", "0"});
    }
    // Same checksum as the whole blocks alone.
    const ToolRun a = run({"info", "--block-size", "16", wholePath});
    const ToolRun b = run({"info", "--block-size", "16", write("p.rel", whole + counting(9, 5))});
    EXPECT_EQ(lines(a.out)[9], lines(b.out)[9]);
}

TEST_F(InfoTool, AllBlankSendsNothingButCountsEverything)
{
    const Bytes file = release("KM52", fill(5 * 1024, 0xFF));
    const std::string path = write("blank.rel", file);
    CHECK_INFO(path, file, 1024, 0xFF, {});
    CHECK_INFO(path, file, 1024, 0x00, {"--blank", "0x00"});
    const ToolRun r = run({"info", path});
    EXPECT_EQ(lines(r.out)[7].second, "0");
    EXPECT_NE(lines(r.out)[9].second, "0000");
}

TEST_F(InfoTool, BlankByteZeroWithRunsAndEscapes)
{
    const Bytes image = fill(1024, 0x41)                                      // 00 41 FF x4, 00 41 04
                        + fill(300, 0x00) + fill(724, 0x7F)                   // escapes, then a run
                        + fill(1024, 0xFF)                                    // blank block
                        + counting(512, 9) + fill(3, 0x00) + fill(509, 0x41)  // mixed
                        + fill(1024, 0x00);                                   // escapes only
    const Bytes file = release("KM52", image);
    const std::string path = write("runs.rel", file);
    for (const char* zero : {"0", "0x00", "0X0", "00"})
        CHECK_INFO(path, file, 1024, 0x00, {"--blank", zero});
    CHECK_INFO(path, file, 1024, 0xFF, {});
    CHECK_INFO(path, file, 256, 0x41, {"--blank", "65", "--block-size", "256"});
    CHECK_INFO(path, file, 7, 0x00, {"--blank", "0", "--block-size", "7"});

    // The first block alone is the 19-byte frame of the worked example.
    const Bytes one = release("KM52", fill(1024, 0x41));
    const ToolRun r = run({"info", "--blank", "0", write("one.rel", one)});
    EXPECT_EQ(lines(r.out)[8], (std::pair<std::string, std::string>{"wire bytes", "19"}));
}

TEST_F(InfoTool, ProductIdBytesThatAreNotPrintable)
{
    const Bytes file = release(std::string("\x01K\\\xE9", 4), counting(32, 2));
    const std::string path = write("odd.rel", file);
    CHECK_INFO(path, file, 16, 0xFF, {"--block-size", "16"}, "\\x01K\\x5C\\xE9");
}

TEST_F(InfoTool, LargestBlockSizeOnASmallFile)
{
    const Bytes file = release("KM52", counting(4096, 4));
    const std::string path = write("small.rel", file);
    CHECK_INFO(path, file, 1073741821, 0x00, {"--block-size", "1073741821", "--blank", "0"});
}

// Whether the engine, given this block size in the handset's record, accepts it (true) or
// aborts the download as too large. (A block larger than the image is refused as well, for a
// reason of its own.)
bool downloadAccepts(int32_t blockSize)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    loadReleaseFile(engine, "KM52", Bytes(64, 0x11));
    steps::toExchange(line, kModeNormal);
    steps::giveRecord(line, parameterRecord("KM52", '1', blockSize, 0xFF));
    const bool aborted = line.frames.back().bytes == bytesOf("<a");
    const bool tooLarge = line.line(kPhaseLine).find("too large") != std::string::npos;
    const bool shortImage = line.line(kPhaseLine).find("shorter than one block") != std::string::npos;
    EXPECT_EQ(aborted, tooLarge || (shortImage && blockSize > 64));
    const bool accepted = !tooLarge;
    EngineLock lock(engine);
    closeReleaseFile(engine);
    releaseBlockBuffers(engine);
    return accepted;
}

TEST_F(InfoTool, RefusesExactlyTheBlockSizesADownloadRefuses)
{
    const std::string path = write("small.rel", release("KM52", Bytes(64, 0x11)));
    for (int32_t size : {1, 1024, 1073741820, 1073741821, 1073741822, 1500000000, INT32_MAX}) {
        const ToolRun r = run({"info", "--block-size", std::to_string(size), path});
        const bool infoAccepts = r.code == 0;
        EXPECT_EQ(infoAccepts, downloadAccepts(size)) << size;
        if (!infoAccepts) {
            EXPECT_EQ(r.code, 5) << size;
            EXPECT_NE(r.err.find("too large"), std::string::npos) << r.err;
        }
    }
}

TEST_F(InfoTool, BadArgumentsExit64WithAMessage)
{
    const std::string path = write("ok.rel", release("KM52", counting(64, 1)));
    const std::vector<std::vector<std::string>> bad = {
        {"--block-size", "0"},          {"--block-size", "-1"},  {"--block-size", "abc"},
        {"--block-size", "2147483648"}, {"--block-size", "1e3"}, {"--block-size", ""},
        {"--blank", "256"},             {"--blank", "-1"},       {"--blank", "0x100"},
        {"--blank", "0xG"},             {"--blank", "0x"},       {"--blank", "ff"},
        {"--no-such-option"},
    };
    for (const auto& options : bad) {
        std::vector<std::string> args = {"info"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(path);
        const ToolRun r = run(args);
        EXPECT_EQ(r.code, 64) << options[0] << " " << (options.size() > 1 ? options[1] : "");
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
    }
    const ToolRun noFile = run({"info"});
    EXPECT_EQ(noFile.code, 64);
    EXPECT_NE(noFile.err.find("FILE"), std::string::npos);
}

TEST_F(InfoTool, MissingShortAndUnreadableFiles)
{
    const std::string missing = (dir_ / "missing.rel").string();
    ToolRun r = run({"info", missing});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(missing), std::string::npos);

    r = run({"info", "--json", dir_.string()});  // a folder opens on some systems but never reads
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");

    for (size_t n : {0u, 3u}) {
        r = run({"info", write("short" + std::to_string(n) + ".rel", Bytes(n, 'K'))});
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(std::to_string(n) + " bytes"), std::string::npos) << r.err;
    }
}

TEST_F(InfoTool, HelpDocumentsEveryOption)
{
    const ToolRun r = run({"info", "--help"});
    EXPECT_EQ(r.code, 0);
    for (const char* word : {"--block-size", "--blank", "--json", "FILE", "0x", "1024", "0xFF",
                             "wire bytes", "blocks shown"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

}  // namespace

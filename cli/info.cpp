// tarvolo info: tells an operator, before flashing, what a release file will send and which
// checksum the handset must report. The file is read the way a download reads it (the
// identifier, then whole blocks through prepareBlock), so the figures are the engine's own.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "engine/release_preview.h"
#include "engine/wire.h"
#include "output/json_line.h"
#include "output/shown_text.h"
#include "record/unit_record.h"
#include "session/release_check.h"

namespace {

struct InfoOptions {
    std::string file;
    std::string blockSize = "1024";
    std::string blank = "0xFF";
    bool json = false;
};

struct ReleaseSummary {
    std::string file;
    std::string productId;
    uint64_t fileBytes = 0;
    int32_t blockSize = 0;
    uint64_t wholeBlocks = 0;
    uint64_t unsentBytes = 0;
    int32_t blocksShown = 0;
    uint64_t blankBlocks = 0;
    uint64_t writeFrames = 0;
    uint64_t wireBytes = 0;
    uint16_t crc = 0;
    uint16_t byteSum = 0;
};

bool allDigits(const std::string& s, size_t from, bool hex)
{
    if (s.size() <= from)
        return false;
    for (size_t i = from; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (!(hex ? std::isxdigit(c) : std::isdigit(c)))
            return false;
    }
    return true;
}

// Decimal, or hexadecimal after 0x; false for anything else or a value above `limit`.
bool parseNumber(const std::string& text, bool allowHex, uint64_t limit, uint64_t* value)
{
    const bool hex = allowHex && text.size() > 2 && text[0] == '0' &&
                     (text[1] == 'x' || text[1] == 'X');
    const size_t from = hex ? 2 : 0;
    if (!allDigits(text, from, hex))
        return false;
    uint64_t v = 0;
    for (size_t i = from; i < text.size(); ++i) {
        const int digit = std::isdigit(static_cast<unsigned char>(text[i]))
                              ? text[i] - '0'
                              : std::tolower(static_cast<unsigned char>(text[i])) - 'a' + 10;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (v > limit)
            return false;
    }
    *value = v;
    return true;
}

int fail(int code, const std::string& message)
{
    std::fprintf(stderr, "tarvolo info: %s\n", terminalSafe(message).c_str());
    return code;
}

int summarise(const std::string& path, int32_t blockSize, uint8_t blank, ReleaseSummary& summary)
{
    std::string notAFile;
    if (!checkRegularFile(path, path, &notAFile))
        return fail(kExitCannotOpen, notAFile);
    ReleasePreview p;
    int systemError = 0;
    switch (previewRelease(path.c_str(), blockSize, blank, &p, &systemError)) {
    case PreviewError::None: break;
    case PreviewError::CannotOpen:
        return fail(kExitCannotOpen, "cannot open " + path + ": " + std::strerror(systemError));
    case PreviewError::CannotRead: return fail(kExitCannotOpen, "cannot read " + path);
    case PreviewError::TooShort:
        return fail(kExitTooShort, path + " holds " + std::to_string(p.fileBytes) +
                                       " bytes; a release file begins with a 4-byte product "
                                       "identifier");
    case PreviewError::BlockSizeTooLarge:
        return fail(kResultBlockSizeTooLarge,
                    "block size " + std::to_string(blockSize) + " is too large: a download "
                    "refuses it (at most " + std::to_string(kLargestBlockSize) + ")");
    case PreviewError::NoMemory:
        return fail(kExitNoMemory, "not enough memory for block size " + std::to_string(blockSize));
    }
    summary.file = path;
    summary.productId = shownBytes(p.productId, 4);
    summary.fileBytes = p.fileBytes;
    summary.blockSize = p.blockSize;
    summary.wholeBlocks = p.wholeBlocks;
    summary.unsentBytes = p.unsentBytes;
    summary.blocksShown = p.blocksShown;
    summary.blankBlocks = p.blankBlocks;
    summary.writeFrames = p.writeFrames;
    summary.wireBytes = p.wireBytes;
    summary.crc = p.crc;
    summary.byteSum = p.byteSum;
    return 0;
}

void printText(const ReleaseSummary& s)
{
    std::printf("file: %s\n", terminalSafe(s.file).c_str());
    std::printf("product id: %s\n", s.productId.c_str());
    std::printf("file bytes: %llu\n", static_cast<unsigned long long>(s.fileBytes));
    std::printf("block size: %d\n", static_cast<int>(s.blockSize));
    std::printf("whole blocks: %llu\n", static_cast<unsigned long long>(s.wholeBlocks));
    std::printf("blocks shown: %d\n", static_cast<int>(s.blocksShown));
    std::printf("blank blocks: %llu\n", static_cast<unsigned long long>(s.blankBlocks));
    std::printf("write frames: %llu\n", static_cast<unsigned long long>(s.writeFrames));
    std::printf("wire bytes: %llu\n", static_cast<unsigned long long>(s.wireBytes));
    std::printf("crc-16/x-25: %s\n", hex4(s.crc).c_str());
    std::printf("byte sum: %s\n", hex4(s.byteSum).c_str());
    std::printf("unsent bytes: %llu\n", static_cast<unsigned long long>(s.unsentBytes));
}

void printJson(const ReleaseSummary& s)
{
    nlohmann::ordered_json j;
    j["file"] = s.file;
    j["product_id"] = s.productId;
    j["file_bytes"] = s.fileBytes;
    j["block_size"] = s.blockSize;
    j["whole_blocks"] = s.wholeBlocks;
    j["blocks_shown"] = s.blocksShown;
    j["blank_blocks"] = s.blankBlocks;
    j["write_frames"] = s.writeFrames;
    j["wire_bytes"] = s.wireBytes;
    j["crc16_x25"] = s.crc;
    j["byte_sum"] = s.byteSum;
    j["unsent_bytes"] = s.unsentBytes;
    writeJsonLine(stdout, j);
}

int runInfo(const InfoOptions& options)
{
    uint64_t blockSize = 0;
    if (!parseNumber(options.blockSize, false, INT32_MAX, &blockSize) || blockSize < 1)
        return fail(kExitUsage, "--block-size must be a whole number from 1 to 2147483647, not '" +
                                    options.blockSize + "'");
    uint64_t blank = 0;
    if (!parseNumber(options.blank, true, 255, &blank))
        return fail(kExitUsage, "--blank must be a byte value from 0 to 255 (decimal or 0x hex), "
                                "not '" + options.blank + "'");

    ReleaseSummary summary;
    const int code = summarise(options.file, static_cast<int32_t>(blockSize),
                               static_cast<uint8_t>(blank), summary);
    if (code != 0)
        return code;
    if (options.json)
        printJson(summary);
    else
        printText(summary);
    return 0;
}

constexpr const char* kInfoFooter =
    "Reads FILE the way a download does: the 4-byte product identifier, then whole blocks;\n"
    "a short last piece is never sent. Prints one 'key: value' a line:\n"
    "  file, product id (non-printable bytes as \\xNN), file bytes, block size,\n"
    "  whole blocks   blocks a download reads whole\n"
    "  blocks shown   file bytes / block size, the count the operator is shown\n"
    "  blank blocks   whole blocks of nothing but 0xFF, counted but never sent\n"
    "  write frames   frames a download sends\n"
    "  wire bytes     the write frames' lengths added up, 4-byte headers included\n"
    "  crc-16/x-25, byte sum   the image checksums (%04X), whichever the handset asks for\n"
    "  unsent bytes   the image's end after the last whole block, never sent\n"
    "Exit codes: 0 done, 1 FILE cannot be opened or read, 2 FILE shorter than 4 bytes,\n"
    "5 block size too large (a download refuses it too), 64 bad argument, 71 not enough\n"
    "memory for the block size.";

}  // namespace

void setupInfoCommand(CLI::App& app, std::function<int()>& run)
{
    auto options = std::make_shared<InfoOptions>();
    auto* cmd = app.add_subcommand("info", "Show what a release file will send");
    cmd->footer(kInfoFooter);
    cmd->add_option("FILE", options->file, "Release file: product identifier, then the image")
        ->required();
    cmd->add_option("--block-size", options->blockSize,
                    "Image bytes per write frame, as the handset's parameter record gives "
                    "it (default 1024, at least 1)")
        ->type_name("N");
    cmd->add_option("--blank", options->blank,
                    "The handset's blank byte, decimal or 0x hex (default 0xFF: payloads go "
                    "raw; any other value run-length encodes them with it as the escape)")
        ->type_name("BYTE");
    cmd->add_flag("--json", options->json,
                  "Print one JSON object (keys file, product_id, file_bytes, block_size, "
                  "whole_blocks, blocks_shown, blank_blocks, write_frames, wire_bytes, "
                  "crc16_x25, byte_sum, unsent_bytes) instead of key: value lines");
    cmd->callback([&run, options] { run = [options] { return runInfo(*options); }; });
}

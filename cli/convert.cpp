// tarvolo convert: turns a build file (binary, S-record, ELF, LHA archive or release file)
// into a release file. The Windows application's batch file calls it after the operator
// has chosen a build file.
#include <CLI/CLI.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/convert/convert.h"
#include "cli/convert/convert_error.h"
#include "output/json_line.h"
#include "output/shown_text.h"

namespace {


struct ConvertArgs {
    std::string source;
    std::string release;
    std::string productId = "KM52";
    std::string base = "0";
    std::string blockSize;
    std::string blank = "0xFF";
    bool json = false;
};

// The block size most handsets announce: an image not a multiple of it loses its end there.
constexpr size_t kCommonBlockSize = 1024;

// "0x8C000000" or "2348810240"; the whole text must be the number.
bool parseAddress(const std::string& text, uint64_t& value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 16u : 20u))
        return false;
    uint64_t result = 0;
    for (char c : digits) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        const uint64_t radix = hex ? 16 : 10;
        if (result > (UINT64_MAX - digit) / radix)
            return false;
        result = result * radix + digit;
    }
    value = result;
    return true;
}

std::string hexAddress(uint64_t address)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(address));
    return text;
}

// What the operator should know of a conversion that succeeded, one warning a line.
std::vector<std::string> warningsOf(const ConvertArgs& args, const convert::ConvertReport& r)
{
    std::vector<std::string> warnings;
    if (r.srecordsWithoutEnd)
        warnings.push_back(args.source + " has no end record (S7, S8 or S9): it may have been cut "
                           "short; the last address read is " + hexAddress(r.lastAddressRead));
    if (args.blockSize.empty() && r.imageBytes % kCommonBlockSize != 0)
        warnings.push_back("the image (" + std::to_string(r.imageBytes) + " bytes) is not a whole "
                           "number of 1024-byte blocks: a handset with 1024-byte blocks is never "
                           "sent its last " + std::to_string(r.imageBytes % kCommonBlockSize) +
                           " bytes; --block-size N fills the image up to whole blocks");
    return warnings;
}

void printOutcome(const ConvertArgs& args, size_t imageSize, const convert::ConvertReport& r)
{
    const std::vector<std::string> warnings = warningsOf(args, r);
    if (args.json) {
        nlohmann::ordered_json j;
        j["release"] = args.release;
        j["product_id"] = args.productId;
        j["image_bytes"] = imageSize;
        j["padding_bytes"] = r.paddingBytes;
        j["end_record"] = !r.srecordsWithoutEnd;
        j["last_address_read"] = r.srecordsWithoutEnd ? nlohmann::ordered_json(r.lastAddressRead)
                                                      : nlohmann::ordered_json(nullptr);
        j["warnings"] = warnings;
        writeJsonLine(stdout, j);
        return;
    }
    for (const std::string& w : warnings)
        std::fprintf(stderr, "tarvolo convert: warning: %s\n", terminalSafe(w).c_str());
    std::printf("%s: product %s, %zu bytes of image", terminalSafe(args.release).c_str(),
                terminalSafe(args.productId).c_str(), imageSize);
    if (r.paddingBytes > 0)
        std::printf(" (%zu blank bytes added to fill the last block)", r.paddingBytes);
    std::printf("\n");
}

// --block-size and --blank into the options; false after saying what is wrong.
bool parsePadding(const ConvertArgs& args, convert::ConvertOptions& options)
{
    uint64_t value = 0;
    if (!args.blockSize.empty()) {
        if (!parseAddress(args.blockSize, value) || value < 1 || value > INT32_MAX) {
            std::fprintf(stderr, "tarvolo convert: --block-size: not a block size from 1 to "
                         "2147483647: %s\n", terminalSafe(args.blockSize).c_str());
            return false;
        }
        options.blockSize = static_cast<uint32_t>(value);
    }
    if (!parseAddress(args.blank, value) || value > 255) {
        std::fprintf(stderr, "tarvolo convert: --blank: not a byte value (0 to 255, or 0x00 to "
                     "0xFF): %s\n", terminalSafe(args.blank).c_str());
        return false;
    }
    options.blank = static_cast<uint8_t>(value);
    return true;
}

int runConvert(const ConvertArgs& args)
{
    convert::ConvertOptions options;
    convert::ConvertReport report;
    options.productId = args.productId;
    options.report = &report;
    if (!parseAddress(args.base, options.base)) {
        std::fprintf(stderr, "tarvolo convert: --base: not an address: %s\n", terminalSafe(args.base).c_str());
        return kExitUsage;
    }
    if (!parsePadding(args, options))
        return kExitUsage;
    try {
        const size_t imageSize = convert::convertFile(args.source, args.release, options);
        printOutcome(args, imageSize, report);
    } catch (const convert::ConvertError& e) {
        std::fprintf(stderr, "tarvolo convert: %s\n", terminalSafe(e.what()).c_str());
        return kExitConvertFailed;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tarvolo convert: %s: out of memory\n", terminalSafe(args.source).c_str());
        return kExitConvertFailed;
    }
    return 0;
}

}  // namespace

void setupConvertCommand(CLI::App& app, std::function<int()>& run)
{
    auto args = std::make_shared<ConvertArgs>();
    auto* cmd = app.add_subcommand("convert", "Convert a build file into a release file");
    // CLI11 reads "/name" as an option on Windows; a path may well start with a slash.
    cmd->allow_windows_style_options(false);
    cmd->add_option("SOURCE", args->source, "Build file: .bin, .sre, .mot, .abs, .lzh or .rel")
        ->required();
    cmd->add_option("RELEASE", args->release, "Release file to write")->required();
    cmd->add_option("--product-id", args->productId, "Product identifier, exactly four bytes")
        ->capture_default_str();
    cmd->add_option("--base", args->base, "Address of the image's first byte (S-record, ELF)")
        ->capture_default_str();
    cmd->add_option("--block-size", args->blockSize,
                    "Fill the image up to a whole number of blocks of N bytes (the handset's "
                    "block size), so that every byte is sent; without it a last piece shorter "
                    "than a block never reaches the flash")
        ->type_name("N");
    auto* blank = cmd->add_option("--blank", args->blank,
                                  "The byte to fill with, decimal or 0x hex (default 0xFF, erased "
                                  "flash)")
                      ->type_name("BYTE");
    blank->needs(cmd->get_option("--block-size"));
    cmd->add_flag("--json", args->json,
                  "Print one JSON object (keys release, product_id, image_bytes, padding_bytes, "
                  "end_record, last_address_read, warnings) instead of the line and warnings");
    cmd->callback([&run, args] { run = [args] { return runConvert(*args); }; });
}

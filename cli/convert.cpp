// tarvolo convert: turns a build file (binary, S-record, ELF, LHA archive or release file)
// into a release file. The Windows application's batch file calls it after the operator
// has chosen a build file.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/convert/convert.h"
#include "cli/convert/convert_error.h"
#include "output/shown_text.h"

namespace {


struct ConvertArgs {
    std::string source;
    std::string release;
    std::string productId = "KM52";
    std::string base = "0";
};

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

int runConvert(const ConvertArgs& args)
{
    convert::ConvertOptions options;
    options.productId = args.productId;
    if (!parseAddress(args.base, options.base)) {
        std::fprintf(stderr, "tarvolo convert: --base: not an address: %s\n", terminalSafe(args.base).c_str());
        return kExitUsage;
    }
    try {
        const size_t imageSize = convert::convertFile(args.source, args.release, options);
        std::printf("%s: product %s, %zu bytes of image\n", terminalSafe(args.release).c_str(),
                    args.productId.c_str(), imageSize);
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
    cmd->callback([&run, args] { run = [args] { return runConvert(*args); }; });
}

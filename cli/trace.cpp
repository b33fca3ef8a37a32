// tarvolo trace: what a capture of the line holds. `convert` turns a text trace of `download
// --trace` into a capture; `show` prints a capture's frames, dissected with the names the
// Wireshark dissector shows, for a machine without Wireshark.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "capture/capture_recorder.h"
#include "capture/frame_dissector.h"
#include "capture/pcapng.h"
#include "capture/text_trace.h"
#include "cli/commands.h"
#include "output/json_line.h"
#include "output/shown_text.h"

namespace {

constexpr uintmax_t kLargestInput = 512u << 20;

struct TraceOptions {
    std::string input;
    std::string output;
    bool json = false;
};

int fail(const std::string& text)
{
    std::fprintf(stderr, "tarvolo trace: %s\n", terminalSafe(text).c_str());
    return kExitUsage;
}

// The whole file, refused when it is not a regular file or too large to be a capture.
bool readWhole(const std::string& path, std::string* bytes, std::string* error)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        *error = "not a file: " + path;
        return false;
    }
    if (std::filesystem::file_size(path, ec) > kLargestInput) {
        *error = path + " is larger than 512 MiB";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream whole;
    whole << in.rdbuf();
    if (!in && !in.eof()) {
        *error = "cannot read " + path;
        return false;
    }
    *bytes = whole.str();
    return true;
}

// The trace keeps seconds since its start only: the start is taken as the file's last change
// less nothing, which places the capture near the day it was made.
uint64_t traceStartUs(const std::string& path)
{
    std::error_code ec;
    const auto changed = std::filesystem::last_write_time(path, ec);
    if (ec)
        return 0;
    const auto system = std::chrono::system_clock::now() +
                        (changed - std::filesystem::file_time_type::clock::now());
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(system.time_since_epoch()).count();
    return us > 0 ? static_cast<uint64_t>(us) : 0;
}

int convertTrace(const TraceOptions& o)
{
    std::string text, error;
    if (!readWhole(o.input, &text, &error))
        return fail(error);
    CaptureRecorder recorder(SIZE_MAX);
    if (!recorder.streamTo(o.output, &error))
        return fail(error);
    if (!convertTextTrace(text, traceStartUs(o.input), recorder, &error))
        return fail(o.input + ": " + error);  // the recorder removes its temporary file
    if (!recorder.finish(&error))
        return fail(error);
    return 0;
}

void printFrame(const DissectedFrame& f, const CapturedChunk& chunk, uint64_t firstUs, bool json)
{
    const double seconds = static_cast<double>(chunk.timeUs - firstUs) / 1e6;
    if (json) {
        nlohmann::ordered_json line = {{"packet", f.chunk + 1}, {"time", seconds},
                                       {"direction", f.outbound ? "host" : "handset"},
                                       {"speed", chunk.lineSpeed}, {"frame", f.name},
                                       {"frame_length", f.length}};
        for (const auto& field : f.fields)
            line[field.first] = field.second;
        line["unparsed"] = f.unparsed;
        writeJsonLine(stdout, line);
        return;
    }
    std::string fields;
    for (const auto& field : f.fields)
        fields += "  " + field.first + "=" + field.second;
    std::printf("%6zu %11.6f %-7s %6u  %s%s%s\n", f.chunk + 1, seconds, f.outbound ? "host" : "handset",
                static_cast<unsigned>(chunk.lineSpeed), f.name.c_str(), fields.c_str(),
                f.unparsed ? "  [does not parse]" : "");
}

void printComment(size_t index, const CapturedChunk& chunk, bool json)
{
    const std::string shown = terminalSafe(utf8OrShown(chunk.comment));
    if (json)
        writeJsonLine(stdout, nlohmann::ordered_json{{"packet", index + 1}, {"comment", utf8OrShown(chunk.comment)}});
    else
        std::printf("%6zu %11s -- %s\n", index + 1, "", shown.c_str());
}

int showCapture(const TraceOptions& o)
{
    std::string bytes, error;
    CaptureContents contents;
    if (!readWhole(o.input, &bytes, &error) || !readPcapng(bytes, &contents, &error))
        return fail(o.input + ": " + error);
    FrameDissector dissector;
    std::vector<DissectedFrame> frames;
    const uint64_t first = contents.chunks.empty() ? 0 : contents.chunks.front().timeUs;
    for (size_t i = 0; i < contents.chunks.size(); ++i) {
        const CapturedChunk& chunk = contents.chunks[i];
        if (!chunk.comment.empty())
            printComment(i, chunk, o.json);
        frames.clear();
        dissector.feed(i, chunk.outbound, chunk.bytes, &frames);
        if (i + 1 == contents.chunks.size())
            dissector.end(i, &frames);
        for (const DissectedFrame& f : frames)
            printFrame(f, contents.chunks[f.chunk], first, o.json);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

void setupTraceCommand(CLI::App& app, std::function<int()>& run)
{
    static TraceOptions o;
    auto* cmd = app.add_subcommand("trace", "Captures of the line: convert a text trace, show a capture");
    cmd->require_subcommand(1);
    auto* convert = cmd->add_subcommand("convert", "Turn a text trace (download --trace) into a pcapng capture");
    convert->add_option("trace", o.input, "The text trace")->required();
    convert->add_option("capture", o.output, "The pcapng file to write")->required();
    convert->callback([&run] { run = [] { return convertTrace(o); }; });
    auto* show = cmd->add_subcommand("show", "Print the frames of a pcapng capture, dissected");
    show->add_option("capture", o.input, "The pcapng file")->required();
    show->add_flag("--json", o.json, "One JSON object per frame and per comment");
    show->callback([&run] { run = [] { return showCapture(o); }; });
}

// Command-line options of tarvolo-handset (see cli.h).
#include "handset/cli.h"

#include <cstdlib>

namespace {

const char* const kScheduleHelp =
    "SCHEDULE is N (the first N chances), N@K (N chances from the K-th on), 'all', or a probability "
    "such as 0.1 or 10% (drawn from --seed).";

void addTiming(CLI::App& app, HandsetOptions& o)
{
    app.add_option("--turnaround-ms", o.turnaroundMs,
                   "Pause after a frame's line time before any answer")->capture_default_str()->check(CLI::Range(0.0, 60000.0));
    app.add_option("--erase-ms", o.eraseMs, "Time the erase takes, from the end of \"<e\" to \">e\"")
        ->capture_default_str()->check(CLI::Range(0.0, 600000.0));
    app.add_option("--write-ms", o.writeMs, "Programming time added to each block's acknowledgement")
        ->capture_default_str()->check(CLI::Range(0.0, 60000.0));
    app.add_option("--switch-wait-ms", o.switchWaitMs,
                   "After a parameter request's line time: switch speed and wait this long before the record "
                   "(the host switches 10 ms after the request)")->capture_default_str()->check(CLI::Range(0.0, 10000.0));
    app.add_option("--switch-grace-ms", o.switchGraceMs,
                   "How much longer a host that has not switched yet is waited for before the record is "
                   "withheld and the host reported")->capture_default_str()->check(CLI::Range(0.0, 10000.0));
    app.add_option("--frame-timeout-ms", o.frameTimeoutMs, "Silence that abandons an incomplete frame")
        ->capture_default_str()->check(CLI::Range(1.0, 600000.0));
}

void addRecord(CLI::App& app, HandsetOptions& o, FaultArguments& f)
{
    app.add_option("--product-id", o.productId, "Product identifier, record bytes 0-3")
        ->capture_default_str()->check([](const std::string& v) {
            return v.empty() || v.size() > 4 ? std::string("1 to 4 characters") : std::string();
        });
    app.add_option("--protocol", o.protocol,
                   "Protocol character, record byte 22: 0 = CRC-16/X-25 (needs erase and download), 1 = byte sum")
        ->capture_default_str()->check(CLI::IsMember({'0', '1'}));
    app.add_option("--download-code", o.downloadCode,
                   "Record bytes 16-22 instead of DOWNLD and the protocol character (to try an incompatible "
                   "code); the handset still checksums as --protocol says")
        ->check([](const std::string& v) { return v.size() > 7 ? std::string("at most 7 characters") : std::string(); });
    app.add_option("--block-size", o.blockSize, "Block size, record bytes 32-35 (little-endian int32); "
                   "values below 1 are announced but no write frame can then be decoded")->capture_default_str();
    app.add_option("--blank", f.blank, "Blank byte, record byte 41: 0xFF = raw payloads, "
                   "otherwise the run-length escape byte (decimal or 0x..)")->capture_default_str();
    app.add_option("--image-blocks", o.imageBlocks,
                   "Blocks in the host's image: the checksum covers this many blocks (erased ones count as 0xFF) "
                   "and --flash-out writes them. Without it the checksum covers the blocks up to the highest "
                   "written plus any trailing blank blocks (see --max-trailing-blank) that make the host's value come out")
        ->check(CLI::Range(0u, 65536u));
    app.add_option("--max-trailing-blank", o.maxTrailingBlank,
                   "Without --image-blocks: at most this many trailing blank blocks are tried to explain the "
                   "host's checksum (0: none)")->capture_default_str()->check(CLI::Range(0u, 65536u));
}

void addRun(CLI::App& app, HandsetOptions& o, FaultArguments& f)
{
    app.add_option("--link", o.link, "Keep a symlink to the pty here (replaces an existing symlink; removed at exit)");
    app.add_option("--flash-out", o.flashOut, "Write the flash image here after each download and at exit");
    app.add_option("--report", o.report, "Write the JSON report here after each download and at exit");
    app.add_option("--downloads", o.downloads, "End after this many downloads (0: run until SIGINT/SIGTERM)")
        ->capture_default_str();
    app.add_flag("--exit-after-download", f.exitAfterDownload, "End after the first download (same as --downloads 1)");
    app.add_option("--linger-ms", o.lingerMs,
                   "After the last download: wait at most this long for the host to close the pty")
        ->capture_default_str()->check(CLI::Range(0.0, 3600000.0));
    app.add_flag("--log", o.log, "Log every frame heard and every answer on stderr");
    app.add_option("--seed", o.seed, "Seed of the fault probabilities and noise bytes")->capture_default_str();
}

void addFaults(CLI::App& app, HandsetOptions& o, FaultArguments& f)
{
    const std::string group = "Fault injection";
    auto schedule = [&](const char* name, std::string& target, const std::string& what) {
        app.add_option(name, target, what)->group(group)->type_name("SCHEDULE");
    };
    schedule("--erase-refusals", f.eraseRefusals, "Answer \"<e\" with \">E\" (nothing erased)");
    schedule("--block-refusals", f.blockRefusals, "Answer a write frame with \">W\" and one byte (block not written)");
    schedule("--wrong-block-numbers", f.wrongBlockNumbers,
             "Acknowledge a written block with \">w\" and its number plus one");
    schedule("--drop-acks", f.droppedAcks, "Write the block but send no acknowledgement (the host times out)");
    schedule("--noise", f.noise, "Send --noise-bytes random bytes (never '>') before an answer");
    app.add_option("--noise-bytes", o.faults.noiseBytes, "Bytes of noise per --noise")
        ->group(group)->capture_default_str()->check(CLI::Range(1u, 4096u));
    schedule("--completion-refusals", f.completionRefusals, "Answer \"<c\" with \">C\" (ends the download)");
    schedule("--wrong-checksum", f.wrongChecksums, "Answer \"<c\" with the own checksum inverted");
    app.add_option("--silent", f.silent,
                   "PHASE or PHASE=SCHEDULE: hear nothing of that phase's frames (no answer, no effect); PHASE is "
                   "inquiry, parameter, erase, block, checksum or abort; without a schedule every time. "
                   "May be repeated.")
        ->group(group)->type_name("PHASE[=SCHEDULE]");
    app.add_flag("--unanswered-abort", f.unansweredAbort, "Never answer \"<a\" (same as --silent abort)")->group(group);
}

bool parseBlank(const std::string& text, uint8_t& blank)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || value > 255)
        return false;
    blank = static_cast<uint8_t>(value);
    return true;
}

std::string applySilent(const std::string& item, FaultPlan& plan)
{
    static const std::pair<const char*, Fault> kPhases[] = {
        {"inquiry", Fault::SilentInquiry}, {"parameter", Fault::SilentParameter}, {"erase", Fault::SilentErase},
        {"block", Fault::SilentBlock},     {"checksum", Fault::SilentChecksum},   {"abort", Fault::SilentAbort}};
    const size_t equals = item.find('=');
    const std::string phase = item.substr(0, equals);
    for (const auto& [name, fault] : kPhases) {
        if (phase != name)
            continue;
        FaultSchedule s;
        std::string error;
        if (equals == std::string::npos)
            s.always = true;
        else if (!parseFaultSchedule(item.substr(equals + 1), s, error))
            return "--silent " + item + ": " + error;
        plan.set(fault, s);
        return {};
    }
    return "--silent " + item + ": unknown phase (inquiry, parameter, erase, block, checksum or abort)";
}

}  // namespace

void setupHandsetOptions(CLI::App& app, HandsetOptions& options, FaultArguments& faults)
{
    app.description(
        "A virtual handset on a pseudo-terminal: it prints the pty's path on its first line and plays the "
        "handset's side of the download protocol, paced at the line speed, until SIGINT/SIGTERM or "
        "--downloads/--exit-after-download. Exit status: 0, 1 on a failure, 2 on a usage error.");
    addRecord(app, options, faults);
    addTiming(app, options);
    addRun(app, options, faults);
    addFaults(app, options, faults);
    app.footer(std::string("Fault injection: ") + kScheduleHelp);
}

std::string applyFaults(const FaultArguments& arguments, HandsetOptions& options)
{
    if (!parseBlank(arguments.blank, options.blank))
        return "--blank: expected a byte value 0 to 255 (decimal or 0x..): " + arguments.blank;
    if (arguments.exitAfterDownload && options.downloads == 0)
        options.downloads = 1;
    struct Scheduled {
        const std::string* text;
        Fault fault;
        const char* option;
    };
    const Scheduled kScheduled[] = {
        {&arguments.eraseRefusals, Fault::EraseRefusal, "--erase-refusals"},
        {&arguments.blockRefusals, Fault::BlockRefusal, "--block-refusals"},
        {&arguments.wrongBlockNumbers, Fault::WrongBlockNumber, "--wrong-block-numbers"},
        {&arguments.droppedAcks, Fault::DroppedAck, "--drop-acks"},
        {&arguments.noise, Fault::Noise, "--noise"},
        {&arguments.completionRefusals, Fault::CompletionRefusal, "--completion-refusals"},
        {&arguments.wrongChecksums, Fault::WrongChecksum, "--wrong-checksum"}};
    for (const Scheduled& item : kScheduled) {
        if (item.text->empty())
            continue;
        FaultSchedule s;
        std::string error;
        if (!parseFaultSchedule(*item.text, s, error))
            return std::string(item.option) + ": " + error;
        options.faults.set(item.fault, s);
    }
    for (const std::string& item : arguments.silent) {
        const std::string error = applySilent(item, options.faults);
        if (!error.empty())
            return error;
    }
    if (arguments.unansweredAbort) {
        FaultSchedule always;
        always.always = true;
        options.faults.set(Fault::SilentAbort, always);
    }
    return {};
}

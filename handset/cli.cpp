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
    app.add_option("--record-filler", f.recordFiller, "Every record byte no other option sets (decimal or "
                   "0x..), so that a host can be shown what it must never read")->capture_default_str();
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
                   "After the last download (or unit): wait at most this long for the host to close the pty")
        ->capture_default_str()->check(CLI::Range(0.0, 3600000.0));
    app.add_option("--adapter-latency-ms", o.adapterLatencyMs,
                   "Play a USB adapter with this latency timer: what the handset sends reaches the host only "
                   "when 62 bytes are waiting or this long after the first of them (0: none)")
        ->capture_default_str()->check(CLI::Range(0.0, 255.0));
    app.add_flag("--log", o.log, "Log every frame heard and every answer on stderr");
    app.add_option("--replay", o.replay,
                   "Play the handset's side of a pcapng capture (tarvolo download --capture, a station's "
                   "capture of a failed unit): answer the host with what the handset sent, in order and with "
                   "the recorded pauses, and say where the host's bytes first differ from the recording. "
                   "Exit 0 when they never do, 1 when they do; the record and fault options do not apply");
    app.add_option("--replay-speed", o.replaySpeed, "With --replay: play the recorded pauses this many times faster")
        ->capture_default_str()->check(CLI::Range(0.01, 1000.0));
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

void addStream(CLI::App& app, StreamOptions& s)
{
    const std::string group = "Stream of units";
    app.add_option("--units", s.units,
                   "Play N handsets one after another on the same pty, as an operator plugs them into a "
                   "station's cable: each attaches (answers inquiries, takes downloads), detaches (silence) "
                   "and the next attaches with an erased flash. The run ends after the last unit")
        ->group(group)->check(CLI::Range(1u, 1000000u));
    app.add_option("--unit-stay-ms", s.stayMs,
                   "A unit whose download has ended stays connected this long after it, still answering "
                   "inquiries, before it detaches")->group(group)->capture_default_str()->check(CLI::Range(0.0, 3600000.0));
    app.add_option("--unit-gap-ms", s.gapMs,
                   "Silence between a unit's detach and the next one's attach (longer than a station's "
                   "re-arm silence)")->group(group)->capture_default_str()->check(CLI::Range(0.0, 3600000.0));
    app.add_option("--unit-max-ms", s.maxMs,
                   "A unit none of whose downloads has ended detaches this long after it attached (0: never)")
        ->group(group)->capture_default_str()->check(CLI::Range(0.0, 3600000.0));
    app.add_option("--replug-ms", s.replugMs,
                   "After a unit vanished (vanish-after-blocks): the port comes back as a new pty, the link "
                   "pointed at it, this much later")->group(group)->capture_default_str()->check(CLI::Range(0.0, 3600000.0));
    app.add_option("--unit-faults", s.unitFaults,
                   "UNITS:ITEM[,ITEM...]: settings of some units only, overriding the global ones. UNITS: 3, "
                   "2,5 or 2-4. ITEM: a fault option without its dashes (completion-refusals=1, "
                   "silent=block=2@3, unanswered-abort; a schedule option alone means all), noise-bytes=N, "
                   "product-id=ID, protocol=0|1, download-code=TEXT, block-size=N, image-blocks=N, "
                   "erase-ms=MS, write-ms=MS, turnaround-ms=MS, vanish-after-blocks=N (the adapter is "
                   "unplugged once the unit has taken N blocks) or leave-after-blocks=N (the handset alone "
                   "is taken off the cable then; the port stays). May be repeated.")
        ->group(group)->type_name("UNITS:ITEMS");
    app.add_option("--scenario", s.scenario,
                   "JSON lines, one object per unit in order, keyed by the same item names "
                   "({\"completion-refusals\": \"all\", \"product-id\": \"XY99\"}); sets --units when "
                   "that is not given")->group(group)->type_name("FILE");
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

}  // namespace

void setupHandsetOptions(CLI::App& app, HandsetOptions& options, FaultArguments& faults, StreamOptions& stream)
{
    app.description(
        "A virtual handset on a pseudo-terminal: it prints the pty's path on its first line and plays the "
        "handset's side of the download protocol, paced at the line speed, until SIGINT/SIGTERM, "
        "--downloads/--exit-after-download, or the last of --units. Exit status: 0, 1 on a failure, 2 on "
        "a usage error.");
    addRecord(app, options, faults);
    addTiming(app, options);
    addRun(app, options, faults);
    addFaults(app, options, faults);
    addStream(app, stream);
    app.footer(std::string("Fault injection: ") + kScheduleHelp +
               "\nStream of units: --flash-out FILE writes each unit's flash to FILE with %d or {unit} "
               "replaced by the unit's number, or to FILE.1, FILE.2, ... without either; global faults "
               "apply to every unit, counted per unit; unit N draws its probabilities from --seed + N - 1.");
}

std::string applyFaults(const FaultArguments& arguments, HandsetOptions& options)
{
    if (!parseBlank(arguments.blank, options.blank))
        return "--blank: expected a byte value 0 to 255 (decimal or 0x..): " + arguments.blank;
    if (!parseBlank(arguments.recordFiller, options.recordFiller))
        return "--record-filler: expected a byte value 0 to 255 (decimal or 0x..): " + arguments.recordFiller;
    if (arguments.exitAfterDownload && options.downloads == 0)
        options.downloads = 1;
    const std::pair<const char*, const std::string*> kScheduled[] = {
        {"erase-refusals", &arguments.eraseRefusals},   {"block-refusals", &arguments.blockRefusals},
        {"wrong-block-numbers", &arguments.wrongBlockNumbers}, {"drop-acks", &arguments.droppedAcks},
        {"noise", &arguments.noise},                    {"completion-refusals", &arguments.completionRefusals},
        {"wrong-checksum", &arguments.wrongChecksums}};
    std::vector<std::pair<std::string, std::string>> given;
    for (const auto& [name, text] : kScheduled)
        if (!text->empty())
            given.emplace_back(name, *text);
    for (const std::string& item : arguments.silent)
        given.emplace_back("silent", item);
    if (arguments.unansweredAbort)
        given.emplace_back("unanswered-abort", "");
    for (const auto& [name, value] : given) {
        bool known = false;
        const std::string error = setFaultOption(options.faults, name, value, known);
        if (!error.empty())
            return "--" + error;
    }
    return {};
}

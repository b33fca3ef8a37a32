// tarvolo station: a production station flashing many handsets at once, one worker process
// per port, every unit recorded; and tarvolo worker, the per-port process the station starts
// (not for people: it takes the station's commands on standard input).
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <memory>

#include "central/central_link.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/option_checks.h"
#include "cli/station_capture.h"
#include "cli/station_config.h"
#include "output/shown_text.h"
#include "session/modes.h"
#include "record/production_record.h"
#include "record/tool_identity.h"
#include "station/service_notify.h"
#include "station/station.h"
#include "station/station_listeners.h"
#include "station/station_platform.h"
#include "station/worker.h"
#include "web/station_server.h"

namespace {

// The command's own choices beside the station's options: how it shows and serves, and the
// central connection before it is resolved.
struct StationCommand {
    StationOptions station;
    std::string config;              // a configuration file: the options the command line leaves unset
    std::vector<std::string> ports;  // as given, "a,b" not yet split
    bool json = false;
    std::string http;           // [ADDRESS:]PORT of the station's live page
    std::string httpTokenFile;
    std::string central;
    std::string centralPasswordFile;
    std::string trustedKeys;
    std::string signatures = "enforce";
    StationCaptureArguments capture;
};

// A range check lets NaN through (every comparison with it is false): refused first, as are
// the infinities, under the option's name.
const CLI::Validator kFinite(
    [](std::string& text) {
        try {
            size_t used = 0;
            const double value = std::stod(text, &used);
            return std::isfinite(value) ? std::string() : "not a finite number: " + text;
        } catch (const std::exception&) {
            return std::string();  // not a number at all: the option's own conversion says so
        }
    },
    "FINITE");

// "a,b" into its items, an empty one kept (CLI11's own splitting drops it): the station
// refuses it rather than flash on fewer ports than were named.
std::vector<std::string> splitAtCommas(const std::vector<std::string>& given)
{
    std::vector<std::string> items;
    for (const std::string& text : given) {
        size_t from = 0;
        for (size_t comma; (comma = text.find(',', from)) != std::string::npos; from = comma + 1)
            items.push_back(text.substr(from, comma - from));
        items.push_back(text.substr(from));
    }
    return items;
}

int usageError(const std::string& text)
{
    std::fprintf(stderr, "tarvolo station: %s\n", terminalSafe(text).c_str());
    return kExitUsage;
}

int runStationCommand(StationCommand& c)
{
    StationOptions& o = c.station;
    o.ports = splitAtCommas(c.ports);
    if (o.stationId.empty())
        o.stationId = machineName();
    o.view = c.json ? StationViewMode::Json
             : stdoutIsTerminal() ? StationViewMode::Terminal
             : stdoutIsJournal() ? StationViewMode::Journal : StationViewMode::Plain;
    if (o.view == StationViewMode::Terminal)
        enableTerminalControl();
    o.terminalColumns = terminalColumns();
    o.workerProgram = runningExecutablePath();
    std::string error;
    if (!resolveCentral(c.central, c.centralPasswordFile, &o.central, &error)) {
        std::fprintf(stderr, "tarvolo station: %s\n", terminalSafe(error).c_str());
        return kExitUsage;
    }
    if ((o.requireApproval || o.centralRequiredMinutes > 0 || !c.centralPasswordFile.empty()) &&
        o.central.connection.empty()) {
        std::fprintf(stderr, "tarvolo station: --require-approval, --central-required and "
                             "--central-password-file need a central database (--central or TARVOLO_CENTRAL)\n");
        return kExitUsage;
    }
    o.trust.trustedKeys = c.trustedKeys;
    if (!c.trustedKeys.empty())
        o.trust.policy = c.signatures == "warn" ? SignaturePolicy::Warn : SignaturePolicy::Enforce;
    const CaptureStorePolicy captures = capturePolicy(c.capture, o.recordPath);
    o.worker.capture = captures;
    if (!captures.folder.empty())
        pruneCaptures(captures);  // what the last run left past the bounds goes before this one
    // The page's address is checked and taken before any port is touched.
    StationListeners listeners;
    std::unique_ptr<StationServer> web;
    if (!c.http.empty()) {
        int code = 0;
        web = StationServer::open(c.http, c.httpTokenFile, captures.folder, &error, &code);
        if (!web) {
            std::fprintf(stderr, "tarvolo station: %s\n", terminalSafe(error).c_str());
            return code;
        }
        std::fprintf(stderr, "tarvolo station: the station's page is at %s\n", terminalSafe(web->url()).c_str());
        listeners.add(&web->listener());
    }
    const std::unique_ptr<ServiceNotifier> manager = serviceNotifierFromEnvironment();
    listeners.add(manager.get());
    o.listener = listeners.any();
    catchInterrupts();
    o.interrupted = [] { return interrupted(); };
    bool centralLeftBlocked = false;
    const int code = runStation(o, &centralLeftBlocked);
    if (centralLeftBlocked) {
        web.reset();
        endLeavingCentralLink(code);
    }
    return code;
}

constexpr const char* kStationFooter =
    "Each port loops: wait for a handset, download, record the unit, then wait until the\n"
    "handset has been removed (the port unanswered for --rearm-silence seconds) before the\n"
    "next. Ports absent at start or unplugged wait for their adapter. The release file is\n"
    "copied once at start; the copy is what every unit receives. A handset silent for 30 s\n"
    "mid-download fails its unit (14); a worker silent for 15 s is ended (its unit 15) and\n"
    "replaced, and a replaced worker's handset must be taken off before the port re-arms.\n"
    "With --central every unit is also shipped to the line's central database (the footer\n"
    "shows its state); flashing goes on while it is unreachable.\n"
    "Exit codes: 0 stopped normally and every unit completed; 20 some unit did not complete;\n"
    "1 the release file is not usable, or its copy went away, or not signed by a trusted key\n"
    "for its product (--trusted-keys; the signature is FILE.minisig), or not approved\n"
    "(--require-approval; or, the server unreachable, the approvals kept are older than\n"
    "--approval-max-age); 10 no port could be opened; 21 every port's worker fails at its\n"
    "start; 22 the --http address cannot be listened on; 64 bad argument; 73 the production\n"
    "record could not be written; 130 stopped by Ctrl-C, SIGTERM or a hang-up (units in\n"
    "progress are recorded as interrupted).\n"
    "With --scan each line on standard input is a unit's label: it goes to the port whose\n"
    "handset has waited longest for one (\"scan the label\"), else to the next handset that\n"
    "appears within --scan-window seconds; a label seen before in the run is refused unless\n"
    "--allow-rescan. The end of standard input only means no more labels.\n"
    "With --config FILE the options come from a TOML file as well, one key per option; under\n"
    "systemd (tarvolo-station@.service) the station tells the manager when it is ready, its\n"
    "units in a status line, and that its loop turns (the watchdog).";

}  // namespace

void setupStationCommand(CLI::App& app, std::function<int()>& run)
{
    auto c = std::make_shared<StationCommand>();
    StationOptions* o = &c->station;
    o->recordPath = defaultRecordPath();
    auto* cmd = app.add_subcommand("station", "Flash many handsets at once, one port each, recording every unit");
    cmd->footer(kStationFooter);
    // The release file and the ports are required, on the command line or in the --config file.
    cmd->add_option("file", o->releasePath, "Release file (.rel)");
    cmd->add_option("--ports", c->ports,
                    "The ports, comma-separated: any --port selector (device, COMn, usb:VVVV:PPPP[:SERIAL], "
                    "usb-path:LOCATION) or all-usb")
        ->check(notEmpty())
        ->allow_extra_args(false);  // one list per --ports: the release file after it is not a port
    cmd->add_option("--config", c->config,
                    "A TOML file of station options, one key per option named as here without its dashes "
                    "(file = the release file); the command line wins over it")
        ->type_name("FILE")->check(notEmpty());
    cmd->add_option("--speed", o->worker.speed, "Line speed after the parameter exchange")
        ->check(lineSpeed())->capture_default_str();
    cmd->add_option_function<std::string>(
           "--mode", [o](const std::string& word) { o->worker.mode = downloadModeWords().at(word); },
           "erase, normal or patch")
        ->check(CLI::IsMember(downloadModeWords()))->default_str("erase");
    cmd->add_option("--units", o->units, "Stop after this many units in all (0, the default: until stopped)")
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--log,--db", o->recordPath,
                    std::string("The production record (default ") + defaultRecordPath() +
                        " in the current directory; a .jsonl name writes JSON Lines)")
        ->check(notEmpty());
    cmd->add_option("--station-id", o->stationId, "This station's name in the record (default: the machine's name)");
    cmd->add_option("--operator", o->operatorName, "The operator's name in the record");
    cmd->add_option("--lot", o->lot, "The production lot in the record");
    addStationCaptureOptions(cmd, c->capture);
    cmd->add_option_function<double>(
           "--rearm-silence", [o](double seconds) { o->worker.rearmSilenceMs = static_cast<int>(seconds * 1000); },
           "Seconds a port must stay unanswered after a unit before the next is armed")
        ->check(kFinite & CLI::Range(0.2, 600.0))->default_str("2");
    cmd->add_flag("--json", c->json, "One JSON object per line, each carrying its port");
    cmd->add_option("--trace", o->tracePath,
                    "Write every step of every port's state machine to this file, the events a state ignores too")
        ->check(notEmpty());
    auto* scan = cmd->add_flag("--scan", o->scanLabels,
                               "Read unit labels, one per line, from standard input (a barcode scanner): each "
                               "handset is flashed once its label has come, and recorded with it");
    cmd->add_option_function<double>(
           "--scan-window", [o](double seconds) { o->scanWindowMs = static_cast<int>(seconds * 1000); },
           "Seconds a label scanned with no handset waiting waits for the next one to appear")
        ->check(kFinite & CLI::Range(0.5, 86400.0))->default_str("30")->needs(scan);
    cmd->add_flag("--allow-rescan", o->allowRescan,
                  "A label scanned again in the same run flashes its unit again (recorded as attempt 2, 3, ...)")
        ->needs(scan);
    auto* http = cmd->add_option("--http", c->http,
                    "Serve a live page of the station at [ADDRESS:]PORT (address 127.0.0.1 unless given; "
                    "any other needs --http-token-file)")
        ->check(notEmpty());
    cmd->add_option("--http-token-file", c->httpTokenFile,
                    "File, yours alone (chmod 600), whose first line is the token the page asks for once (a 12-hour session follows)")
        ->check(notEmpty())->needs(http);
    cmd->add_option("--central", c->central,
                    "Ship every unit to this central database: ODBC connection string or DSN=NAME (default: the "
                    "environment variable TARVOLO_CENTRAL); no password in it")
        ->type_name("CONNECTION");
    cmd->add_option("--central-password-file", c->centralPasswordFile, "A file holding the central password")
        ->type_name("FILE");
    cmd->add_option("--central-required", o->centralRequiredMinutes,
                    "Arm no new unit while a unit has waited longer than MINUTES to reach the central database")
        ->type_name("MINUTES")->check(kFinite & CLI::Range(0.01, 100000.0));
    // How often the approvals are fetched again, for tests that cannot wait a minute.
    cmd->add_option("--approval-check-ms", o->approvalCheckMs)->check(CLI::Range(100, 3600000))->group("");
    cmd->add_flag("--require-approval", o->requireApproval,
                  "Refuse a release the central database has not approved (or has revoked)");
    cmd->add_option("--approval-max-age", o->approvalMaxAgeDays,
                    "With --require-approval and the central database unreachable: trust the approvals fetched "
                    "last (a signed release: the signed revocation list issued last) for at most DAYS, then "
                    "refuse to start or stop arming")
        ->type_name("DAYS")->check(kFinite & CLI::Range(0.0001, 3650.0))->capture_default_str();
    auto* keys = cmd->add_option("--trusted-keys", c->trustedKeys,
                                 "Flash only a release signed (FILE.minisig, minisign's format) by one of these "
                                 "keys for the file's product: a folder of *.pub keys, or one key file")
                     ->type_name("DIR")->check(notEmpty());
    cmd->add_option("--signatures", c->signatures,
                    "enforce: refuse a release not so signed, before any port is opened; warn: say so and flash it")
        ->check(CLI::IsMember({"enforce", "warn"}))->capture_default_str()->needs(keys);
    // The limits of a handset's and a worker's silence, for tests that cannot wait for them.
    cmd->add_option("--handset-silence-ms", o->worker.handsetSilenceMs)->check(CLI::Range(100, 3600000))->group("");
    cmd->add_option("--worker-silence-ms", o->workerSilenceMs)->check(CLI::Range(1000, 3600000))->group("");
    cmd->callback([&run, c, cmd] {
        run = [c, cmd] {
            std::string error;
            if (!c->config.empty() && !applyStationConfig(*cmd, c->config, &error))
                return usageError(error);
            if (c->station.releasePath.empty() || c->ports.empty())
                return usageError("the release file and --ports are required (on the command line or in --config)");
            return runStationCommand(*c);
        };
    });
}

void setupWorkerCommand(CLI::App& app, std::function<int()>& run)
{
    auto* cmd = app.add_subcommand("worker", "");  // the station's own; not listed
    cmd->group("");
    // Its arguments are the vocabulary's (worker_messages.h), read by its one parser.
    cmd->prefix_command();
    cmd->callback([&run, cmd] {
        WorkerOptions options;
        std::string error;
        if (!parseWorkerArguments(cmd->remaining(), &options, &error)) {
            std::fprintf(stderr, "tarvolo worker: %s\n", terminalSafe(error).c_str());
            run = [] { return kExitUsage; };
            return;
        }
        run = [options] { return runWorker(options); };
    });
}

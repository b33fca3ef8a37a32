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
#include "output/shown_text.h"
#include "session/modes.h"
#include "record/production_record.h"
#include "record/tool_identity.h"
#include "station/station.h"
#include "station/station_platform.h"
#include "station/worker.h"
#include "web/station_server.h"

namespace {

struct StationArguments {
    std::string file;
    std::vector<std::string> ports;
    uint32_t speed = 115200;
    std::string mode = "erase";
    int64_t units = 0;
    std::string record;
    std::string stationId;
    std::string operatorName;
    std::string lot;
    double rearmSilence = 2;
    int handsetSilenceMs = 30000;
    int workerSilenceMs = 15000;
    bool json = false;
    bool scan = false;
    double scanWindow = 30;
    bool allowRescan = false;
    std::string http;           // [ADDRESS:]PORT of the station's live page
    std::string httpTokenFile;
    std::string central;
    std::string centralPasswordFile;
    double centralRequired = 0;
    int approvalCheckMs = 60000;
    double approvalMaxAgeDays = kDefaultApprovalMaxAge.count() / 24.0;
    bool requireApproval = false;
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

int runStationCommand(const StationArguments& a)
{
    StationOptions o;
    o.releasePath = a.file;
    o.ports = splitAtCommas(a.ports);
    o.speed = a.speed;
    o.mode = downloadModeWords().at(a.mode);
    o.units = a.units;
    o.recordPath = a.record.empty() ? defaultRecordPath() : a.record;
    o.stationId = a.stationId.empty() ? machineName() : a.stationId;
    o.operatorName = a.operatorName;
    o.lot = a.lot;
    o.rearmSilenceMs = static_cast<int>(a.rearmSilence * 1000);
    o.handsetSilenceMs = a.handsetSilenceMs;
    o.workerSilenceMs = a.workerSilenceMs;
    o.scanLabels = a.scan;
    o.scanWindowMs = static_cast<int>(a.scanWindow * 1000);
    o.allowRescan = a.allowRescan;
    o.view = a.json ? StationViewMode::Json
             : stdoutIsTerminal() ? StationViewMode::Terminal : StationViewMode::Plain;
    if (o.view == StationViewMode::Terminal)
        enableTerminalControl();
    o.terminalColumns = terminalColumns();
    o.workerProgram = runningExecutablePath();
    std::string error;
    if (!resolveCentral(a.central, a.centralPasswordFile, &o.central, &error)) {
        std::fprintf(stderr, "tarvolo station: %s\n", terminalSafe(error).c_str());
        return kExitUsage;
    }
    if ((a.requireApproval || a.centralRequired > 0 || !a.centralPasswordFile.empty()) &&
        o.central.connection.empty()) {
        std::fprintf(stderr, "tarvolo station: --require-approval, --central-required and "
                             "--central-password-file need a central database (--central or TARVOLO_CENTRAL)\n");
        return kExitUsage;
    }
    o.centralRequiredMinutes = a.centralRequired;
    o.approvalCheckMs = a.approvalCheckMs;
    o.requireApproval = a.requireApproval;
    o.approvalMaxAgeDays = a.approvalMaxAgeDays;
    const CaptureStorePolicy captures = capturePolicy(a.capture, o.recordPath);
    o.workerCaptureArguments = workerCaptureArguments(captures);
    if (!captures.folder.empty())
        pruneCaptures(captures);  // what the last run left past the bounds goes before this one
    // The page's address is checked and taken before any port is touched.
    std::unique_ptr<StationServer> web;
    if (!a.http.empty()) {
        int code = 0;
        web = StationServer::open(a.http, a.httpTokenFile, captures.folder, &error, &code);
        if (!web) {
            std::fprintf(stderr, "tarvolo station: %s\n", terminalSafe(error).c_str());
            return code;
        }
        std::fprintf(stderr, "tarvolo station: the station's page is at %s\n", terminalSafe(web->url()).c_str());
        o.listener = &web->listener();
    }
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
    "1 the release file is not usable, or its copy went away, or it is not approved\n"
    "(--require-approval; or, the server unreachable, the approvals kept are older than\n"
    "--approval-max-age); 10 no port could be opened; 21 every port's worker fails at its\n"
    "start; 22 the --http address cannot be listened on; 64 bad argument; 73 the production\n"
    "record could not be written; 130 stopped by Ctrl-C, SIGTERM or a hang-up (units in\n"
    "progress are recorded as interrupted).\n"
    "With --scan each line on standard input is a unit's label: it goes to the port whose\n"
    "handset has waited longest for one (\"scan the label\"), else to the next handset that\n"
    "appears within --scan-window seconds; a label seen before in the run is refused unless\n"
    "--allow-rescan. The end of standard input only means no more labels.";

}  // namespace

void setupStationCommand(CLI::App& app, std::function<int()>& run)
{
    auto a = std::make_shared<StationArguments>();
    auto* cmd = app.add_subcommand("station", "Flash many handsets at once, one port each, recording every unit");
    cmd->footer(kStationFooter);
    cmd->add_option("file", a->file, "Release file (.rel)")->required();
    cmd->add_option("--ports", a->ports,
                    "The ports, comma-separated: any --port selector (device, COMn, usb:VVVV:PPPP[:SERIAL], "
                    "usb-path:LOCATION) or all-usb")
        ->required()->check(notEmpty());
    cmd->add_option("--speed", a->speed, "Line speed after the parameter exchange")
        ->check(lineSpeed())->capture_default_str();
    cmd->add_option("--mode", a->mode, "erase, normal or patch")
        ->check(CLI::IsMember(downloadModeWords()))->capture_default_str();
    cmd->add_option("--units", a->units, "Stop after this many units in all (0, the default: until stopped)")
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--log,--db", a->record,
                    std::string("The production record (default ") + defaultRecordPath() +
                        " in the current directory; a .jsonl name writes JSON Lines)")
        ->check(notEmpty());
    cmd->add_option("--station-id", a->stationId, "This station's name in the record (default: the machine's name)");
    cmd->add_option("--operator", a->operatorName, "The operator's name in the record");
    cmd->add_option("--lot", a->lot, "The production lot in the record");
    addStationCaptureOptions(cmd, a->capture);
    cmd->add_option("--rearm-silence", a->rearmSilence,
                    "Seconds a port must stay unanswered after a unit before the next is armed")
        ->check(kFinite & CLI::Range(0.2, 600.0))->capture_default_str();
    cmd->add_flag("--json", a->json, "One JSON object per line, each carrying its port");
    auto* scan = cmd->add_flag("--scan", a->scan,
                               "Read unit labels, one per line, from standard input (a barcode scanner): each "
                               "handset is flashed once its label has come, and recorded with it");
    cmd->add_option("--scan-window", a->scanWindow,
                    "Seconds a label scanned with no handset waiting waits for the next one to appear")
        ->check(kFinite & CLI::Range(0.5, 86400.0))->capture_default_str()->needs(scan);
    cmd->add_flag("--allow-rescan", a->allowRescan,
                  "A label scanned again in the same run flashes its unit again (recorded as attempt 2, 3, ...)")
        ->needs(scan);
    auto* http = cmd->add_option("--http", a->http,
                    "Serve a live page of the station at [ADDRESS:]PORT (address 127.0.0.1 unless given; "
                    "any other needs --http-token-file)")
        ->check(notEmpty());
    cmd->add_option("--http-token-file", a->httpTokenFile,
                    "File, yours alone (chmod 600), whose first line is the token the page asks for once (a 12-hour session follows)")
        ->check(notEmpty())->needs(http);
    cmd->add_option("--central", a->central,
                    "Ship every unit to this central database: ODBC connection string or DSN=NAME (default: the "
                    "environment variable TARVOLO_CENTRAL); no password in it")
        ->type_name("CONNECTION");
    cmd->add_option("--central-password-file", a->centralPasswordFile, "A file holding the central password")
        ->type_name("FILE");
    cmd->add_option("--central-required", a->centralRequired,
                    "Arm no new unit while a unit has waited longer than MINUTES to reach the central database")
        ->type_name("MINUTES")->check(kFinite & CLI::Range(0.01, 100000.0));
    // How often the approvals are fetched again, for tests that cannot wait a minute.
    cmd->add_option("--approval-check-ms", a->approvalCheckMs)->check(CLI::Range(100, 3600000))->group("");
    cmd->add_flag("--require-approval", a->requireApproval,
                  "Refuse a release the central database has not approved (or has revoked)");
    cmd->add_option("--approval-max-age", a->approvalMaxAgeDays,
                    "With --require-approval and the central database unreachable: trust the approvals fetched "
                    "last for at most DAYS, then refuse to start or stop arming")
        ->type_name("DAYS")->check(kFinite & CLI::Range(0.0001, 3650.0))->capture_default_str();
    // The limits of a handset's and a worker's silence, for tests that cannot wait for them.
    cmd->add_option("--handset-silence-ms", a->handsetSilenceMs)->check(CLI::Range(100, 3600000))->group("");
    cmd->add_option("--worker-silence-ms", a->workerSilenceMs)->check(CLI::Range(1000, 3600000))->group("");
    cmd->callback([&run, a] { run = [a] { return runStationCommand(*a); }; });
}

void setupWorkerCommand(CLI::App& app, std::function<int()>& run)
{
    auto o = std::make_shared<WorkerOptions>();
    auto mode = std::make_shared<std::string>("erase");
    auto* cmd = app.add_subcommand("worker", "");  // the station's own; not listed
    cmd->group("");
    cmd->add_option("--port", o->selector)->required();
    cmd->add_option("--release", o->releasePath)->required();
    cmd->add_option("--speed", o->speed);
    cmd->add_option("--mode", *mode)->check(CLI::IsMember(downloadModeWords()));
    cmd->add_option("--rearm-silence-ms", o->rearmSilenceMs);
    cmd->add_option("--handset-silence-ms", o->handsetSilenceMs);
    cmd->add_flag("--await-removal", o->awaitRemovalFirst);
    cmd->add_flag("--hold-for-label", o->holdForLabel);
    addWorkerCaptureOptions(cmd, o->capture);
    cmd->callback([&run, o, mode] {
        run = [o, mode] {
            o->mode = downloadModeWords().at(*mode);
            return runWorker(*o);
        };
    });
}

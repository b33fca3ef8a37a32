// tarvolo download: writes a release file into a handset over a serial port.
//
// Defaults come from the settings file "Tarvolo.cfg" in the current directory when there is
// one (the Windows application's file), otherwise from the application's own defaults; the
// options override them.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/download_session.h"
#include "cli/option_checks.h"
#include "cli/port_choice.h"
#include "engine/wire.h"
#include "output/shown_text.h"
#include "session/modes.h"
#include "session/release_check.h"
#include "settings/settings.h"
#include "transport/line_speed.h"

namespace {

struct DownloadOptions {
    std::string file;
    std::string port;
    uint32_t speed = 0;
    std::string mode;
    bool gang = false;
    bool autoContinue = false;
    int32_t giveUp = 0;
    int32_t waitPort = 0;
    std::string trace;
    std::string capture;
    bool json = false;
};

// A speed the line cannot take would leave the download inquiring for ever at a speed the
// handset never hears: the file's value is refused, not replaced by a default unseen.
bool checkSettingsSpeed(const DownloadOptions& o, const Settings& s)
{
    if (o.speed != 0 || isAllowedSpeed(s.speed) != 0)
        return true;
    std::fprintf(stderr,
                 "tarvolo: %s: the speed field holds %lu, not a line speed this program can use "
                 "(19200, 38400, 57600 or 115200); correct the file or give --speed\n",
                 kSettingsFileName, static_cast<unsigned long>(s.speed));
    return false;
}

Settings loadSettings()
{
    Settings s;
    resetSettings(&s);
    loadSettingsFile(kSettingsFileName, &s);
    return s;
}

DownloadPlan planFrom(const DownloadOptions& o, const Settings& s)
{

    DownloadPlan plan;
    plan.releasePath = o.file;
    plan.port = !o.port.empty() ? o.port : std::string("COM") + s.portDigit;
    plan.speed = o.speed != 0 ? o.speed : s.speed;
    plan.mode = !o.mode.empty() ? downloadModeWords().at(o.mode) : s.downloadMode;
    plan.gang = o.gang || s.gangMode != 0;
    plan.autoContinue = o.autoContinue;
    plan.giveUpSeconds = o.giveUp;
    plan.tracePath = o.trace;
    plan.capturePath = o.capture;
    plan.view = o.json ? ViewMode::Json : stdoutIsTerminal() ? ViewMode::Terminal : ViewMode::Plain;
    if (plan.view == ViewMode::Terminal)
        enableTerminalControl();
    return plan;
}

}  // namespace

void setupDownloadCommand(CLI::App& app, std::function<int()>& run)
{
    static DownloadOptions o;
    auto* cmd = app.add_subcommand("download", "Write a release file into a handset");
    cmd->add_option("file", o.file, "Release file (.rel): product identifier, then the image")
        ->required();
    cmd->add_option("--port", o.port,
                    "Serial port: a device path such as /dev/ttyUSB0, COMn, or what the port is: "
                    "usb:VVVV:PPPP[:SERIAL], usb-path:LOCATION, auto (the only USB serial port); "
                    "`tarvolo ports` shows them (default: the settings file's port, else COM1)")
        ->check(notEmpty());
    cmd->add_option("--wait-port", o.waitPort,
                    "When the port is not there, wait up to SECONDS for it to appear (plugged in)")
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--speed", o.speed,
                    "Line speed after the parameter exchange: 19200, 38400, 57600 or 115200 "
                    "(default: the settings file's, else 115200)")
        ->check(lineSpeed());
    cmd->add_option("--mode", o.mode,
                    "erase (erase, then download), normal (download without erase) or patch "
                    "(default: the settings file's, else erase)")
        ->check(CLI::IsMember(downloadModeWords()));
    cmd->add_flag("--gang", o.gang, "Gang mode: the handset on CH1 answers, the others listen");
    cmd->add_flag("--continue", o.autoContinue,
                  "Gang mode: continue as soon as CH1 answers instead of waiting for Enter");
    cmd->add_option("--give-up-after", o.giveUp,
                    "Stop (exit 11) when no handset has answered within SECONDS "
                    "(default: wait until interrupted)")
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--trace", o.trace,
                    "Write every byte sent and received, with time and line speed, to FILE");
    cmd->add_option("--capture", o.capture,
                    "Write every chunk sent and received, with its time, direction and line speed, "
                    "to FILE in pcapng (Wireshark, `tarvolo trace show`, tarvolo-handset --replay)")
        ->check(notEmpty());
    cmd->add_flag("--json", o.json,
                  "One JSON object per line for every status text, progress change, Continue "
                  "change and the result");
    cmd->footer(
        "Exit codes: 0 completed; 1 release file not usable (missing, not a regular file, no\n"
        "product identifier or no image); 4 the handset acknowledged the abort (its reason is\n"
        "shown beside it); when the handset does not answer the abort, its reason: 2 product\n"
        "identifier mismatch or erase-and-download needed, 3 no whole block in the image, 5 block\n"
        "size too large, 6 checksum mismatch, 8 incompatible download code; 6 completion refused;\n"
        "10 port not opened, not found or not unique, or not there within --wait-port; 11 no\n"
        "handset within --give-up-after; 12 port went away; 64 malformed --port selector, a\n"
        "settings file speed the line cannot take, or --gang without --continue on an ended\n"
        "input; 130 interrupted.");
    cmd->callback([&run] {
        run = [] {
            // Before any port is touched: a FIFO would hang the open, a folder or a device
            // would reach the handset as an image.
            uint8_t productId[4];
            std::string error;
            if (!checkReleaseFile(o.file, o.file, productId, &error)) {
                std::fprintf(stderr, "tarvolo: %s\n", terminalSafe(error).c_str());
                return static_cast<int>(kResultFileNotOpened);
            }
            const Settings fileSettings = loadSettings();
            if (!checkSettingsSpeed(o, fileSettings))
                return kExitUsage;
            DownloadPlan plan = planFrom(o, fileSettings);
            const int chosen = choosePort(plan.port, o.waitPort, plan.view, &plan.port);
            return chosen != 0 ? chosen : runDownload(plan);
        };
    });
}

// The commands of the command-line tool. Each command registers its options on a CLI11
// subcommand and returns the process exit code when run.
#ifndef TARVOLO_CLI_COMMANDS_H
#define TARVOLO_CLI_COMMANDS_H

#include <functional>

#include "session/exit_codes.h"

namespace CLI {
class App;
}

// A command adds its subcommand to the app and sets `run` to what runs when it is chosen.
using CommandSetup = void (*)(CLI::App& app, std::function<int()>& run);

void setupInfoCommand(CLI::App& app, std::function<int()>& run);
void setupDownloadCommand(CLI::App& app, std::function<int()>& run);
void setupPortsCommand(CLI::App& app, std::function<int()>& run);
void setupConvertCommand(CLI::App&, std::function<int()>&);
void setupStationCommand(CLI::App& app, std::function<int()>& run);
void setupWorkerCommand(CLI::App& app, std::function<int()>& run);
void setupLogCommand(CLI::App& app, std::function<int()>& run);
void setupCentralCommand(CLI::App& app, std::function<int()>& run);
void setupShipCommand(CLI::App& app, std::function<int()>& run);
void setupDashboardCommand(CLI::App& app, std::function<int()>& run);
void setupReleaseCommand(CLI::App& app, std::function<int()>& run);
void setupTraceCommand(CLI::App& app, std::function<int()>& run);

#endif

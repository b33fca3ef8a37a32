// tarvolo: the handset flash loader's command-line tool.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>

#include "cli/commands.h"

int main(int argc, char** argv)
{
    CLI::App app{"tarvolo - handset flash loader"};
    app.require_subcommand(1);
    std::function<int()> run;
    setupInfoCommand(app, run);
    setupDownloadCommand(app, run);
    setupPortsCommand(app, run);
    setupConvertCommand(app, run);
    setupLogCommand(app, run);
    setupStationCommand(app, run);
    setupWorkerCommand(app, run);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }
    return run ? run() : kExitUsage;
}

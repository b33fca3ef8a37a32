// tarvolo: the handset flash loader's command-line tool.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>

#include "cli/commands.h"
#include "cli/console.h"
#include "output/shown_text.h"
#include "tarvolo_version.h"

namespace {

// An operator's words (names, selectors, file names) are stored and shown exactly as given,
// so they must be text: refused here, naming the option, before any port is touched.
bool argumentsAreText(const CLI::App& app)
{
    for (const CLI::App* command : app.get_subcommands()) {
        for (const CLI::Option* option : command->get_options()) {
            for (const std::string& value : option->results()) {
                if (validUtf8(value))
                    continue;
                std::fprintf(stderr, "tarvolo %s: %s is not valid UTF-8 text: %s\n", command->get_name().c_str(),
                             option->get_name().c_str(), shownBytes(value).c_str());
                return false;
            }
        }
        if (!argumentsAreText(*command))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"tarvolo - handset flash loader"};
    app.set_version_flag("--version", "tarvolo " TARVOLO_VERSION);
    app.require_subcommand(1);
    std::function<int()> run;
    setupInfoCommand(app, run);
    setupDownloadCommand(app, run);
    setupPortsCommand(app, run);
    setupConvertCommand(app, run);
    setupLogCommand(app, run);
    setupStationCommand(app, run);
    setupWorkerCommand(app, run);
    setupCentralCommand(app, run);
    setupShipCommand(app, run);
    setupDashboardCommand(app, run);
    setupReleaseCommand(app, run);
    setupTraceCommand(app, run);
    const std::vector<std::string> arguments = commandLine(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments)
        pointers.push_back(argument.c_str());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }
    if (!argumentsAreText(app))
        return kExitUsage;
    return run ? run() : kExitUsage;
}

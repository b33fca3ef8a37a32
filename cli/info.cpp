// tarvolo info: what a release file will send (placeholder until the command is written).
#include <CLI/CLI.hpp>

#include "cli/commands.h"

void setupInfoCommand(CLI::App& app, std::function<int()>& run)
{
    auto* cmd = app.add_subcommand("info", "Show what a release file will send");
    cmd->callback([&run] { run = [] { return 0; }; });
}

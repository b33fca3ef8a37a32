// tarvolo ports: the machine's serial ports and whether each can be opened now.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "cli/commands.h"
#include "transport/port_open.h"

void setupPortsCommand(CLI::App& app, std::function<int()>& run)
{
    auto* cmd = app.add_subcommand("ports", "List the serial ports and whether each can be opened");
    cmd->callback([&run] {
        run = [] {
            const std::vector<PortInfo> ports = listSerialPorts();
            if (ports.empty())
                std::printf("no serial ports found\n");
            for (const PortInfo& port : ports)
                std::printf("%-20s %s%s%s\n", port.name.c_str(),
                            port.canOpen ? "can be opened" : "cannot be opened",
                            port.note.empty() ? "" : ": ", port.note.c_str());
            return 0;
        };
    });
}

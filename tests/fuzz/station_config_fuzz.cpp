// libFuzzer harness of the station's configuration file: any text is either applied to the
// station's options or refused with a message that starts with the file's name (and so names
// its line), never a crash, a leak or an exception out of the reader.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

#include "cli/commands.h"
#include "cli/station_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CLI::App app;
    std::function<int()> run;
    setupStationCommand(app, run);
    std::string error;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool applied = applyStationConfigText(*app.get_subcommand("station"), text, "fuzz.conf", &error);
    if (applied != error.empty() || (!applied && error.rfind("fuzz.conf:", 0) != 0))
        std::abort();
    return 0;
}

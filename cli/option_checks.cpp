// The shared option checks (see option_checks.h).
#include "cli/option_checks.h"

CLI::Validator notEmpty()
{
    return CLI::Validator(
        [](std::string& text) { return text.empty() ? std::string("must not be empty") : std::string(); }, "");
}

CLI::Validator lineSpeed() { return CLI::IsMember({19200u, 38400u, 57600u, 115200u}); }

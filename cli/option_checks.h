// The checks several commands put on their options, written once so that the same option
// is refused with the same words wherever it is given.
#ifndef TARVOLO_CLI_OPTION_CHECKS_H
#define TARVOLO_CLI_OPTION_CHECKS_H

#include <CLI/CLI.hpp>

// An empty value would silently mean the default (or nothing): refused.
CLI::Validator notEmpty();

// The line speeds a download may switch to after the parameter exchange (the ones
// transport/line_speed.h's isAllowedSpeed lets through).
CLI::Validator lineSpeed();

#endif

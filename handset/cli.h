// The handset's command line: every option of HandsetOptions and StreamOptions, with the help
// text that documents each fault and the stream of units.
#ifndef TARVOLO_HANDSET_CLI_H
#define TARVOLO_HANDSET_CLI_H

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "handset/options.h"
#include "handset/unit_options.h"

// The fault options as given on the command line, turned into schedules by applyFaults.
struct FaultArguments {
    std::string eraseRefusals, blockRefusals, wrongBlockNumbers, droppedAcks, noise;
    std::string completionRefusals, wrongChecksums;
    std::vector<std::string> silent;
    bool unansweredAbort = false;
    bool exitAfterDownload = false;
    std::string blank = "0xFF";
    std::string recordFiller = "0";
};

// The stream's options go to `stream`, to be checked by applyStream (unit_options.h).
void setupHandsetOptions(CLI::App& app, HandsetOptions& options, FaultArguments& faults, StreamOptions& stream);
// Checks what CLI11 cannot and fills options.faults, options.blank and options.recordFiller. Returns an error text,
// empty when all is well.
std::string applyFaults(const FaultArguments& arguments, HandsetOptions& options);

#endif

// The call of the conversion batch file "Tarvolo.BAT" that turns a build file into a release
// file. Portable, so that the quoting can be tested anywhere; shell/app_files.cpp runs it.
//
// The batch file receives six arguments: the source's directory, name and extension, the
// release file's directory and name, and the product identifier. None of the characters of
// a file name may reach the command interpreter as syntax (& | < > ^ % ! ( ) and blanks are
// all valid in file names), so the values never appear in the command line itself: each
// travels in an environment variable that the command line references inside double quotes.
// The interpreter expands a reference once and does not look at the expanded text again
// for further % references, and the quotes keep & | < > ^ ( ) and blanks literal; delayed
// expansion is turned off so that ! stays literal. Each quoted reference is exactly one
// batch argument, also when the value is empty.
#ifndef TARVOLO_SETTINGS_CONVERSION_H
#define TARVOLO_SETTINGS_CONVERSION_H

#include <string>
#include <utility>
#include <vector>

#include "settings/path_record.h"

constexpr const char kBatchFileName[] = "Tarvolo.BAT";

struct ConversionCall {
    std::string commandLine;  // for CreateProcess, run from the start-up directory
    std::vector<std::pair<std::string, std::string>> environment;  // name, value
};

// Builds the call: the batch name and the five path pieces lower-cased, the product
// identifier as it is. Returns false (and explains in *reason) when a value holds a
// character that cannot be passed safely: a double quote or a control character.
bool buildConversionCall(const PathRecord& source, const PathRecord& release,
                         const char* productId, ConversionCall* call, std::string* reason);

// How the batch file sees the command line: its arguments, each with the outer quotes taken
// off as %~n does. Used by the tests and as documentation of the contract.
std::vector<std::string> batchArguments(const ConversionCall& call);

// Extensions of the build files that can be downloaded or converted (".rel", ".bin",
// ".mot", ".sre", ".abs", ".lzh"), in any case.
bool isRecognisedSourceExtension(const char* ext);
// True for ".rel" in any case: a release file needs no conversion.
bool isReleaseExtension(const char* ext);

#endif

// The one writer of JSON: every command's --json, the worker link and the record's lines.
// A line always parses: a string that is not UTF-8 (bytes no check has turned into text yet)
// is written by the rule of shown_text.h instead of breaking the line or the program.
#ifndef TARVOLO_OUTPUT_JSON_LINE_H
#define TARVOLO_OUTPUT_JSON_LINE_H

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

// One line, no line break at its end (or, with `indent` >= 0, the same object laid out).
std::string jsonLine(const nlohmann::json& value, int indent = -1);
std::string jsonLine(const nlohmann::ordered_json& value, int indent = -1);

// Writes the line and its line break, then flushes: the reader may be waiting on it.
// False when the stream refused it (the reader has gone).
bool writeJsonLine(std::FILE* out, const nlohmann::json& value);
bool writeJsonLine(std::FILE* out, const nlohmann::ordered_json& value);

#endif

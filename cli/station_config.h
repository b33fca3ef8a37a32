// A station's configuration file (`tarvolo station --config FILE`), for a station started by a
// service manager rather than by a person. The file is TOML; its keys are the station's own
// option names without the dashes (`ports`, `operator`, `central-password-file`, `file` for the
// release file, ...), and each key becomes that option exactly as if it had been typed, checked
// by the same validators. An option given on the command line wins over the file's key.
//
// The file comes from outside: a key the station does not know, a value of the wrong kind, a
// text holding a control byte, a file too long to be a configuration are refused, naming the
// file, the line and the key, before anything is opened.
#ifndef TARVOLO_CLI_STATION_CONFIG_H
#define TARVOLO_CLI_STATION_CONFIG_H

#include <CLI/CLI.hpp>

#include <string>

// Gives `command` (the parsed `station` subcommand) the file's keys that the command line left
// unset. False, with `error` saying where and why, when the file is refused; then nothing of
// it may be used.
bool applyStationConfig(CLI::App& command, const std::string& path, std::string* error);
// The same for a file's text already read (`path` names it in the messages).
bool applyStationConfigText(CLI::App& command, const std::string& text, const std::string& path,
                            std::string* error);

#endif

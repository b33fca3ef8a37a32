// Checks a configuration file's text must pass before toml++ reads it. Each refuses text TOML
// itself does not allow, on which Debian 12's toml++ 3.3 has faults of its own instead of an
// error: assertions, and a point it takes as unreachable (undefined behaviour in a release build).
#pragma once

#include <string>

// TOML allows no control character but the tab and line ends.
bool tomlControlFree(const std::string& text, const std::string& path, std::string* error);

// TOML allows characters past ASCII only inside quoted strings and comments. toml++ 3.3 asks
// whether such a character elsewhere is white space, and its table for that runs into an
// unreachable point for most of them (any accented Latin letter, for one).
bool tomlAsciiOutsideStrings(const std::string& text, const std::string& path, std::string* error);

// Which build of the tool wrote a record: its version and the SHA-256 of its own executable,
// so that two builds carrying the same version number can still be told apart.
#ifndef TARVOLO_RECORD_TOOL_IDENTITY_H
#define TARVOLO_RECORD_TOOL_IDENTITY_H

#include <string>

struct ToolIdentity {
    std::string version;  // "tarvolo 1.6"
    std::string sha256;   // of the running executable's file
};

// False with a one-line message when the executable cannot be found or read.
bool identifyTool(ToolIdentity* identity, std::string* error);

// The path of the running executable; empty when the system cannot tell. One file per OS.
std::string runningExecutablePath();

#endif

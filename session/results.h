// How a download ended, in words and codes every front end shares: the DownloadResult values
// of engine/wire.h and the endings a front end adds around them (the port, the operator).
#ifndef TARVOLO_SESSION_RESULTS_H
#define TARVOLO_SESSION_RESULTS_H

#include <cstdint>
#include <string>

#include "session/exit_codes.h"

// One line for people: "download completed", "the port went away", ...
const char* resultMeaning(int code);

// The warning every tool gives before a transfer that leaves the end of the image behind:
// only whole blocks are ever sent.
std::string unsentWarning(int64_t unsentBytes, int64_t blockSize);

#endif

// How a download ended, in words and codes every front end shares: the DownloadResult values
// of engine/wire.h and the endings a front end adds around them (the port, the operator).
#ifndef TARVOLO_SESSION_RESULTS_H
#define TARVOLO_SESSION_RESULTS_H

#include "session/exit_codes.h"

// One line for people: "download completed", "the port went away", ...
const char* resultMeaning(int code);

#endif

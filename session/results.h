// How a download ended, in words and codes every front end shares: the DownloadResult values
// of engine/wire.h and the endings a front end adds around them (the port, the operator).
#ifndef TARVOLO_SESSION_RESULTS_H
#define TARVOLO_SESSION_RESULTS_H

// Codes beyond the DownloadResult values; `tarvolo download` exits with them.
constexpr int kExitPortNotOpened = 10;   // the port could not be opened
constexpr int kExitGaveUp = 11;          // no handset answered in the time given
constexpr int kExitPortLost = 12;        // the port went away during the download
constexpr int kExitWorkerLost = 13;      // a station's worker process ended mid-download
constexpr int kExitHandsetSilent = 14;   // a station's handset stopped answering mid-download
constexpr int kExitWorkerHung = 15;      // a station's worker stopped reporting and was ended
constexpr int kExitInterrupted = 130;    // the operator stopped it (Ctrl-C)

// One line for people: "download completed", "the port went away", ...
const char* resultMeaning(int code);

#endif

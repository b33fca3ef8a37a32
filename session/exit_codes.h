// The exit codes of every command, in one place so that no two meanings share a number by
// accident. A download's own results (0 completed, 1, 2, 3, 4, 5, 6, 8) are the DownloadResult
// values of engine/wire.h; the codes below come around them. Each command's help lists the
// ones it can end with.
#ifndef TARVOLO_SESSION_EXIT_CODES_H
#define TARVOLO_SESSION_EXIT_CODES_H

#include "engine/wire.h"

// Files.
constexpr int kExitCannotOpen = 1;       // a file named on the command line cannot be opened or read
constexpr int kExitConvertFailed = 1;    // convert: the build file could not be turned into a release file
constexpr int kExitTooShort = 2;         // info: the file is too short to hold a product identifier

// Ports and handsets, around a download.
constexpr int kExitPortNotOpened = 10;   // the port could not be opened
constexpr int kExitGaveUp = 11;          // no handset answered in the time given
constexpr int kExitPortLost = 12;        // the port went away during the download
constexpr int kExitWorkerLost = 13;      // a station's worker process ended mid-download
constexpr int kExitHandsetSilent = 14;   // a station's handset stopped answering mid-download
constexpr int kExitWorkerHung = 15;      // a station's worker stopped reporting and was ended

// The station.
constexpr int kStationUnitsFailed = 20;   // it stopped normally, but some unit did not complete
constexpr int kStationWorkersFailed = 21; // every port's worker failed at its start, again and again
constexpr int kStationWebFailed = 22;     // --http: the page's address could not be listened on
constexpr int kStationRecordFailed = 73;  // the production record could not be written

// The central database (tarvolo central, ship, log --central).
constexpr int kExitCentralFailed = 69;    // it could not be reached, or refused the request

// Every command.
constexpr int kExitUsage = 64;           // a malformed option, selector or operator text
constexpr int kExitNoMemory = 71;        // info: no memory for the block size asked for
constexpr int kExitInterrupted = 130;    // the operator stopped it (Ctrl-C)

#endif

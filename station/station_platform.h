// The little a station and its workers need of the platform. One file per platform.
#ifndef TARVOLO_STATION_STATION_PLATFORM_H
#define TARVOLO_STATION_STATION_PLATFORM_H

#include <string>

// For a worker: Ctrl-C, SIGTERM and a hang-up (the terminal closed) belong to the station,
// which tells its workers to stop, so that a signal to the whole process group ends the units
// as interrupted rather than killing the workers under them; and a station that has gone must
// not kill a worker by a broken pipe before it has halted its line.
void leaveStopSignalsToTheStation();

// This process's id, and whether a process of that id runs (a station's private folder is
// named after the station's process, so a later station can tell a folder left behind).
long currentProcessId();
bool processRunning(long pid);
// Whether `path` is a folder itself, not a link to one, and belongs to this process's user:
// only such a folder may a station clean up in a temporary folder that others write to.
bool ownPlainFolder(const std::string& path);

// Whether an errno value says the user's disk quota is used up (a full disk to the user).
bool diskQuotaExceeded(int error);

// The machine's name: a station's default identity.
std::string machineName();

// While a station reads scanned labels from its terminal or console: what is typed is not
// echoed, so that it does not break into the table redrawn in place. True when standard input
// is one and its echo was turned off (*saved keeps what to put back); false for a pipe.
bool quietOperatorInput(unsigned long* saved);
void restoreOperatorInput(unsigned long saved);

#endif

// The little a station and its workers need of the platform. One file per platform.
#ifndef TARVOLO_STATION_STATION_PLATFORM_H
#define TARVOLO_STATION_STATION_PLATFORM_H

#include <string>

// For a worker: Ctrl-C belongs to the station, which tells its workers to stop, and a
// station that has gone must not kill a worker by a broken pipe before it has halted its line.
void ignoreInterruptsAndBrokenPipes();

// The machine's name: a station's default identity.
std::string machineName();

#endif

// The ports of a station: the selectors given to --ports, all-usb expanded into one lasting
// selector per USB serial port present, and the check at start that at least one of them can
// be opened now (ports absent at start wait for their adapter; if none can be opened at all,
// the station has nothing to do). Station's main thread.
#ifndef TARVOLO_STATION_STATION_PORTS_H
#define TARVOLO_STATION_STATION_PORTS_H

#include <string>
#include <vector>

// The selectors to start a worker for, each naming one port, in the order given. Returns 0,
// or an exit code with a reason: 64 a malformed selector, 10 nothing given or found.
int expandStationPorts(const std::vector<std::string>& given, std::vector<std::string>* selectors,
                       std::string* error);

// True when at least one selector names a port that can be opened now; otherwise *why says
// what was found for each (several lines).
bool somePortOpens(const std::vector<std::string>& selectors, std::string* why);

#endif

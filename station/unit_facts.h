// What a worker knows of a unit, as the production record's row: the port it ran on, when,
// what the handset announced, the result, the checksums and the retries. The station adds
// the rest (run, sequence number, station, operator, lot, release file, tool).
#ifndef TARVOLO_STATION_UNIT_FACTS_H
#define TARVOLO_STATION_UNIT_FACTS_H

#include <string>

#include "record/unit_record.h"
#include "session/session.h"
#include "transport/port_discovery.h"

// The port's identity, as the record keeps it.
void describePort(const PortInfo& port, UnitRecord* unit);

// The download's facts: the handset's record (when it came), the checksums, the retries.
void describeDownload(const DownloadFacts& facts, UnitRecord* unit);

// The result: its code (a DownloadResult or one of session/results.h), meaning and outcome.
void describeResult(int code, UnitRecord* unit);

#endif

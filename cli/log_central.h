// The part of `tarvolo log` that reads the central database: --central (every station's
// units, the summary worked out by the server, and one per station). Main thread.
#ifndef TARVOLO_CLI_LOG_CENTRAL_H
#define TARVOLO_CLI_LOG_CENTRAL_H

#include <cstdint>
#include <string>

#include "record/unit_record.h"

struct CentralLogOptions {
    std::string central;
    std::string passwordFile;
    std::string stationId;
    bool summaryOnly = false;
    int64_t limit = 1000;  // units listed at most, the latest
    bool csv = false;
    bool json = false;
};

int runCentralLog(const CentralLogOptions& options, const UnitFilter& filter);

#endif

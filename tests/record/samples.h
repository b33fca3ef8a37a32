// Rows for the production record tests, every field filled with a value of its own, and a
// scratch folder per test.
#ifndef TARVOLO_TESTS_RECORD_SAMPLES_H
#define TARVOLO_TESTS_RECORD_SAMPLES_H

#include <filesystem>
#include <string>

#include "record/unit_record.h"

StationRun sampleRun();
// A completed unit of `runId` on /dev/ttyUSB<port>, started `minute` minutes into the day.
UnitRecord sampleUnit(int64_t runId, int64_t sequence, int port = 0, int minute = 0);
// The same unit failed with a checksum mismatch (result code 6).
UnitRecord failedUnit(int64_t runId, int64_t sequence, int port = 0, int minute = 0);

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

#endif

// The station's writes of unit rows, off its main thread: a write may wait 10 s for another
// process's lock on the record, or fail on a full disk, and meanwhile every other port must
// still be watched and shown. The main thread hands a unit over and later takes the answer;
// the unit's result is shown only then, so a shown result was durable (or is shown as not
// recorded). One writing thread; the record is touched by nobody else while it runs.
#ifndef TARVOLO_STATION_RECORD_WRITER_H
#define TARVOLO_STATION_RECORD_WRITER_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "record/production_record.h"

struct WrittenUnit {
    size_t port;          // the station's port index
    UnitRecord unit;
    bool recorded;
    std::string error;    // why not, when not
};

class RecordWriter {
public:
    // `record` must outlive the writer; nothing else may use it until finish() returned.
    explicit RecordWriter(ProductionRecord& record);
    // Finishes what is queued.
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    void write(size_t port, const UnitRecord& unit);
    // The answers since the last call; never waits for a write.
    std::vector<WrittenUnit> takeWritten();
    // Units handed over whose answer has not been taken yet.
    size_t pending() const;
    // Writes what is queued, then ends the thread.
    void finish();

private:
    void run();

    ProductionRecord& record_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<WrittenUnit> queue_;
    std::vector<WrittenUnit> written_;
    size_t pending_ = 0;
    bool ending_ = false;
    std::thread thread_;
};

#endif

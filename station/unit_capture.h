// A worker's capture of one unit: the unit's line passes through a capture tap, kept in memory
// (bounded by the policy) while the unit runs; once the unit has ended, keep() writes it to
// captures/ATTEMPT-UUID.pcapng beside the record when the unit did not complete (or always,
// with --capture-all), names it in the unit's row, and prunes the folder. A completed unit's
// capture is simply dropped. Owned by the worker's runUnit; the tap must outlive the download.
#ifndef TARVOLO_STATION_UNIT_CAPTURE_H
#define TARVOLO_STATION_UNIT_CAPTURE_H

#include <memory>
#include <string>

#include "capture/capture_recorder.h"
#include "capture/capture_store.h"
#include "capture/capture_tap.h"
#include "record/unit_record.h"

class UnitCapture {
public:
    UnitCapture(const CaptureStorePolicy& policy, const DownloadLine& below);

    DownloadLine line() { return tap_.line(); }
    // After the unit's row is filled in: keeps the capture when the policy says so, setting
    // unit->attemptUuid (when empty) and unit->capture. A capture that cannot be written
    // leaves unit->capture empty and says why in the returned text.
    std::string keep(UnitRecord* unit);

private:
    const CaptureStorePolicy& policy_;
    std::unique_ptr<CaptureRecorder> recorder_;  // none when the station keeps no captures
    CaptureTap tap_;
};

#endif

// The folder where a station keeps the captures of its units (captures/ beside its record),
// and its upkeep: captures past an age or beyond a total size the operator sets are removed,
// oldest first. Only files named like a unit's capture (UUID.pcapng) are ever touched.
#ifndef TARVOLO_CAPTURE_CAPTURE_STORE_H
#define TARVOLO_CAPTURE_CAPTURE_STORE_H

#include <cstdint>
#include <string>

struct CaptureStorePolicy {
    std::string folder;            // empty: the station keeps no captures
    bool keepAll = false;          // completed units too (--capture-all)
    uint64_t unitLimitBytes = 32u << 20;   // one unit's capture at most
    uint64_t totalLimitBytes = 1024u << 20; // all captures together (0: no limit)
    double maxAgeDays = 30;        // older captures are removed (0: no limit)
};

// The capture folder beside a record file: "<record's folder>/captures".
std::string captureFolderFor(const std::string& recordPath);
// Whether `name` is a unit capture's file name: a lower-case UUID and ".pcapng".
bool isCaptureName(const std::string& name);
// Removes the captures the policy no longer allows. Returns how many it removed; errors
// (a file another process removed first) are passed over.
size_t pruneCaptures(const CaptureStorePolicy& policy);

#endif

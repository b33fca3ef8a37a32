// The signed revocation list at a station with trusted keys: at its start the newest list
// is taken from the configuration folder (revocations.list beside the trusted keys) and from
// the central database when it answers; a release it names is refused, and so is a list
// older than the newest this station has seen (the number is kept beside the record, in
// RECORD.revocations-seen), so that an old list cannot be put back. While the station runs,
// the folder's list is read again every re-check period: a list that revokes the release, or
// one that is older or damaged, stops arming new units and says why. Revocations are obeyed in
// both --signatures modes: warn is for releases not yet signed, not for withdrawn ones.
// Station's main thread.
#ifndef TARVOLO_STATION_REVOCATION_WATCH_H
#define TARVOLO_STATION_REVOCATION_WATCH_H

#include <chrono>
#include <string>
#include <vector>

#include "signing/revocation_list.h"
#include "station/release_copy.h"
#include "station/station.h"
#include "station/station_view.h"

class RevocationWatch {
public:
    explicit RevocationWatch(const StationOptions& options) : options_(options) {}

    // False with the reason when the release is revoked or no list can be trusted.
    bool atStart(const ReleaseCopy& release, std::string* error);
    // Each loop turn; reads the folder's list again once a re-check period has passed.
    void poll(StationView& view);
    bool holdsArming() const { return !hold_.empty(); }
    // The newest list taken at the start: its number (0: none) and when it was issued.
    int64_t sequence() const { return sequence_; }
    const std::string& issuedUtc() const { return issuedUtc_; }

private:
    bool newestList(RevocationList* newest, std::string* source, std::string* error);
    bool centralList(RevocationList* list, std::string* error);
    // Empty when `list` may be used for this release; else why not. A list not older than the
    // newest seen becomes the newest seen.
    std::string judge(const RevocationList& list, const std::string& source);
    void rememberSeen(int64_t sequence);

    const StationOptions& options_;
    std::vector<PublicKey> keys_;
    std::string folderList_;
    std::string seenPath_;
    int64_t seen_ = 0;
    std::string releaseName_, sha256_, productId_;
    std::chrono::steady_clock::time_point nextCheck_{};
    std::string hold_;
    int64_t sequence_ = 0;
    std::string issuedUtc_;
    bool failedOnce_ = false;  // the last check found the list unreadable or unsigned
};

#endif

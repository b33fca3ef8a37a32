// What the central database means for a station: it starts the shipping thread
// (central/central_link.h), shows its state (the footer's central line, a `central` event
// when it changes), and says when arming must wait: the oldest unit not yet confirmed is
// older than --central-required allows, or the release's approval was revoked. Station's
// main thread; the link's thread only ships.
#ifndef TARVOLO_STATION_CENTRAL_WATCH_H
#define TARVOLO_STATION_CENTRAL_WATCH_H

#include <chrono>
#include <memory>
#include <string>

#include "central/central_link.h"
#include "station/release_trust.h"
#include "station/station.h"
#include "station/station_view.h"

class CentralWatch {
public:
    explicit CentralWatch(const StationOptions& options) : options_(options) {}

    // With --require-approval: false (and `error`) when the release is not approved or
    // revoked, or nothing can say; `note` tells when the copy of the last fetch was used.
    // A release signed by a trusted key is judged without the unsigned copy: the server's
    // word, or, the server unreachable, `signedFiles` (release_trust.h).
    bool releaseApproved(const std::string& file, const std::string& sha256, const std::string& productId,
                         const SignedApproval& signedFiles, std::string* note, std::string* error);
    // Starts shipping when a central database is named. False with a reason.
    bool start(const StationRun& run, std::string* error);
    // Each loop turn: takes the link's state, shows what changed (at most once a second
    // unless `now`: the station's last word).
    void poll(StationView& view, bool now = false);
    bool holdsArming() const { return !holdReason_.empty(); }
    std::string footer() const;
    void nudge();
    // The last units shipped if the server answers within a few seconds; then the thread ends,
    // or is left blocked in its call (leftBlocked()).
    void finish();
    bool leftBlocked() const { return link_ && link_->abandoned(); }

private:
    std::string holdReasonNow() const;
    CentralFact fact() const;
    std::chrono::seconds approvalMaxAge() const;

    const StationOptions& options_;
    std::unique_ptr<CentralLink> link_;
    std::string approvalsFetchedUtc_;  // of the approvals the release was judged by at start
    SignedApproval bySignature_;       // when the signed files approved it at start
    CentralState state_;
    std::string shownKey_;
    std::chrono::steady_clock::time_point shownAt_{};
    std::string holdReason_;
};

#endif

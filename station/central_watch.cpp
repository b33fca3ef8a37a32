// The station's view of the central database (central_watch.h).
#include "station/central_watch.h"
#include "station/station_listener.h"

#include <cstdio>

#include "record/utc_time.h"

namespace {

constexpr auto kFinishGrace = std::chrono::seconds(5);
constexpr auto kEventPeriod = std::chrono::seconds(1);

// Whole seconds since a record time; 0 when there is none.
int64_t ageSeconds(const std::string& utc)
{
    UtcTime then;
    if (utc.empty() || !parseUtc(utc, &then))
        return 0;
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - then).count();
}

}  // namespace

bool CentralWatch::releaseApproved(const std::string& file, const std::string& sha256, const std::string& productId,
                                   const SignedApproval& signedFiles, std::string* note, std::string* error)
{
    ApprovalState state = ApprovalState::NotApproved;
    const std::string release = file + " (sha256 " + sha256 + ", product " + productId + ")";
    const bool isSigned = !signedFiles.keyId.empty();
    if (!approvalAtStart(options_.central, options_.recordPath, sha256, productId, approvalMaxAge(), &state,
                         &approvalsFetchedUtc_, note, !isSigned)) {
        std::string why;
        if (isSigned && signedFilesFresh(signedFiles, approvalMaxAge(), &why)) {
            *note += ": " + file + " is approved by its signature (key " + signedFiles.keyId + ") and revocation list " +
                     std::to_string(signedFiles.listSequence) + " of " + signedFiles.listIssuedUtc;
            approvalsFetchedUtc_ = signedFiles.listIssuedUtc;
            bySignature_ = signedFiles;
            return true;
        }
        *error = "cannot tell whether " + release + " is approved: " + *note + (why.empty() ? "" : " and " + why);
        return false;
    }
    if (state == ApprovalState::Approved)
        return true;
    *error = "release " + release + (state == ApprovalState::Revoked ? " has been revoked" : " is not approved");
    return false;
}

bool CentralWatch::start(const StationRun& run, std::string* error)
{
    if (options_.central.connection.empty())
        return true;
    CentralLinkOptions o;
    o.target = options_.central;
    o.recordPath = options_.recordPath;
    o.stationId = run.stationId;
    o.toolVersion = run.toolVersion;
    o.checkApproval = options_.requireApproval;
    o.releaseSha256 = run.releaseSha256;
    o.productId = run.fileProductId;
    o.approvalPeriod = std::chrono::milliseconds(options_.approvalCheckMs);
    o.approvalsFetchedUtc = approvalsFetchedUtc_;
    link_ = std::make_unique<CentralLink>(std::move(o));
    if (link_->start(error))
        return true;
    link_.reset();
    return false;
}

std::string CentralWatch::holdReasonNow() const
{
    if (state_.approval == ApprovalState::Revoked)
        return "the release's approval has been revoked: not arming new units";
    if (state_.approval == ApprovalState::NotApproved)
        return "the release is no longer approved: not arming new units";
    std::string stale;
    if (!bySignature_.keyId.empty() && state_.approvalsFetchedUtc == bySignature_.listIssuedUtc &&
        !signedFilesFresh(bySignature_, approvalMaxAge(), &stale))
        return "not arming new units: the central database has not been reached and " + stale;
    if (options_.requireApproval && !approvalsFresh(state_.approvalsFetchedUtc, approvalMaxAge(), &stale))
        return "not arming new units: the central database has not been reached and " + stale;
    const int64_t age = ageSeconds(state_.backlog.oldestEndedUtc);
    if (options_.centralRequiredMinutes > 0 && state_.backlog.unconfirmed > 0 &&
        static_cast<double>(age) > options_.centralRequiredMinutes * 60) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", options_.centralRequiredMinutes);
        return "not arming new units: the oldest unit not in the central database is " + std::to_string(age) +
               " s old (--central-required " + limit + ")";
    }
    return "";
}

void CentralWatch::poll(StationView& view, bool now)
{
    if (!link_)
        return;
    state_ = link_->state();
    const std::string key = std::to_string(state_.connected) + "/" + std::to_string(state_.backlog.unconfirmed) + "/" +
                            std::to_string(state_.backlog.quarantined) + "/" + std::to_string(state_.backlog.conflicts) + "/" +
                            state_.lastError + "/" +
                            std::to_string(static_cast<int>(state_.approval));
    const auto at = std::chrono::steady_clock::now();
    if (key != shownKey_ && (now || at - shownAt_ >= kEventPeriod)) {
        shownKey_ = key;
        shownAt_ = at;
        view.show(nullptr, fact());
        if (options_.listener)
            options_.listener->centralNow(centralFields(state_));
    }
    const std::string hold = holdReasonNow();
    if (hold != holdReason_) {
        view.show(nullptr, ArmingHold{"central", hold});
        holdReason_ = hold;
    }
}

std::chrono::seconds CentralWatch::approvalMaxAge() const
{
    return std::chrono::seconds(static_cast<int64_t>(options_.approvalMaxAgeDays * 86400));
}

CentralFact CentralWatch::fact() const
{
    return {state_, ageSeconds(state_.backlog.oldestEndedUtc)};
}

std::string CentralWatch::footer() const
{
    return link_ ? factText(fact()) : "";
}

void CentralWatch::nudge()
{
    if (link_)
        link_->nudge();
}

void CentralWatch::finish()
{
    if (link_)
        link_->finish(kFinishGrace);
}

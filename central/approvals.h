// Approved releases: the central table `releases` (a release's SHA-256 per product
// identifier, who approved it and when, who revoked it and when), and the copy a station keeps
// beside its record of what it last fetched, for starting while the server is unreachable.
#ifndef TARVOLO_CENTRAL_APPROVALS_H
#define TARVOLO_CENTRAL_APPROVALS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "central/odbc.h"

struct ReleaseApproval {
    std::string sha256;
    std::string productId;  // the release file's first four bytes, shown as the record shows them
    std::string releaseFile;
    std::string approvedBy;
    std::string approvedUtc;
    std::string revokedBy;   // empty while approved
    std::string revokedUtc;
};

enum class ApprovalState { Approved, NotApproved, Revoked };

// The SHA-256 and the product identifier of a release file. False with a message.
bool releaseIdentity(const std::string& path, std::string* sha256, std::string* productId, std::string* error);
// Only the product identifier (the first four bytes, shown), for a caller that hashes the file itself.
bool releaseProductId(const std::string& path, std::string* productId, std::string* error);

// Approves (again, clearing a revocation) or revokes. Revoking one never approved sets `found`
// false and changes nothing.
bool approveRelease(OdbcConnection& db, const ReleaseApproval& approval, OdbcError* error);
bool revokeRelease(OdbcConnection& db, const ReleaseApproval& approval, bool* found, OdbcError* error);
// Every approval (a station judges its release by the whole list), or, with `latest`, the
// latest that many by approval time (the dashboard's list), oldest first either way.
bool fetchApprovals(OdbcConnection& db, std::vector<ReleaseApproval>* approvals, OdbcError* error,
                    int64_t latest = 0);

ApprovalState approvalOf(const std::vector<ReleaseApproval>& approvals, const std::string& sha256,
                         const std::string& productId);

// The cache beside a record: RECORD.approvals.json, replaced whole (written aside, renamed).
std::string approvalCachePath(const std::string& recordPath);
bool saveApprovalCache(const std::string& path, const std::vector<ReleaseApproval>& approvals,
                       const std::string& fetchedUtc, std::string* error);
bool loadApprovalCache(const std::string& path, std::vector<ReleaseApproval>* approvals, std::string* fetchedUtc,
                       std::string* error);

// How long a station that cannot reach the server goes on trusting the approvals it fetched
// last: a revocation made meanwhile cannot reach it (tarvolo station --approval-max-age).
constexpr std::chrono::hours kDefaultApprovalMaxAge{24 * 7};

// Whether approvals fetched at `fetchedUtc` may still be trusted, `maxAge` later. False with
// the reason when they are older, or when the time cannot be read (a copy edited by hand).
bool approvalsFresh(const std::string& fetchedUtc, std::chrono::seconds maxAge, std::string* why);

#endif

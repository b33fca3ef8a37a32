// A station's link to the central database: one thread, owned by the station's supervisor,
// that ships the units the record has committed and the server has not confirmed (starting
// from the record, so what a killed station left is shipped by the next), writes the
// station's heartbeat row every 30 s, and with approvals required fetches the approved
// releases every 60 s (keeping a copy beside the record). Flashing never waits for it: the
// supervisor only reads its state. Lost connections are retried after 1 s, doubling to 60 s.
#ifndef TARVOLO_CENTRAL_CENTRAL_LINK_H
#define TARVOLO_CENTRAL_CENTRAL_LINK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "central/approvals.h"
#include "central/central_connection.h"
#include "record/central_ledger.h"

struct CentralLinkOptions {
    CentralTarget target;
    std::string recordPath;
    std::string stationId;
    std::string toolVersion;
    bool checkApproval = false;  // fetch approvals, and judge this release by them
    std::string releaseSha256;
    std::string productId;
    std::chrono::milliseconds approvalPeriod{60000};
    std::string approvalsFetchedUtc;  // of the approvals the station started with
};

// What the station shows and acts on; a copy taken under the link's lock.
struct CentralState {
    bool connected = false;
    int64_t unconfirmed = 0;     // units committed locally, not confirmed by the server
    std::string oldestEndedUtc;  // the oldest of them; empty when none
    int64_t quarantined = 0;     // units and runs
    int64_t conflicts = 0;       // units the server holds with other content
    std::string lastConflict;    // the latest one's attempt_uuid, and the columns it differs in
    std::string lastDiffering;
    std::string lastError;       // why the last attempt failed (password-free)
    ApprovalState approval = ApprovalState::Approved;
    std::string approvalsFetchedUtc;  // when the approvals judged by were fetched
};

class CentralLink {
public:
    explicit CentralLink(CentralLinkOptions options);
    ~CentralLink();  // stops the thread
    CentralLink(const CentralLink&) = delete;
    CentralLink& operator=(const CentralLink&) = delete;

    // Opens the record's ledger and starts the thread. False with a reason.
    bool start(std::string* error);
    CentralState state() const;
    // A unit was committed: ship soon rather than at the next poll.
    void nudge();
    // One last pass (at most `grace` long when the server answers), then the thread ends.
    void finish(std::chrono::milliseconds grace);

private:
    void run();
    bool connect();
    void heartbeat();
    void fetchApprovals();
    bool shipOnce();  // true when nothing is left that the server would take
    void countBacklog();
    void waitOut(std::chrono::seconds pause);  // the backlog counted as units are committed
    void wait(std::chrono::milliseconds period);
    void setError(const std::string& error, bool connected);

    CentralLinkOptions options_;
    std::unique_ptr<CentralLedger> ledger_;
    std::unique_ptr<OdbcConnection> db_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    CentralState state_;
    bool stopping_ = false;
    bool nudged_ = false;
    std::chrono::steady_clock::time_point finishBy_{};
    std::chrono::seconds backoff_{1};
    std::chrono::steady_clock::time_point heartbeatDue_{};
    std::chrono::steady_clock::time_point approvalDue_{};
    std::thread thread_;
};

// The approval of a release at a station's start: fetched from the server (and the copy
// beside the record refreshed), or, the server unreachable, from that copy if it is at most
// `maxAge` old; `note` says which, `fetchedUtc` when what was judged by was fetched. False
// when neither can say (no server, no copy, a copy too old), with the reason in `note`.
bool approvalAtStart(const CentralTarget& target, const std::string& recordPath, const std::string& sha256,
                     const std::string& productId, std::chrono::seconds maxAge, ApprovalState* state,
                     std::string* fetchedUtc, std::string* note);

#endif

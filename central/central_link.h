// A station's link to the central database: one thread, owned by the station's supervisor,
// that ships the units the record has committed and the server has not confirmed (starting
// from the record, so what a killed station left is shipped by the next), writes the
// station's heartbeat row every 30 s, and with approvals required fetches the approved
// releases every 60 s (keeping a copy beside the record). Flashing never waits for it: the
// supervisor only reads its state. Lost connections are retried after 1 s, doubling to 60 s.
//
// A server that stops answering (a frozen backend holds its socket open, and keepalives only
// catch a vanished host) can block the thread in a call for as long as it likes. So nothing the
// station shows or decides waits for the thread: the backlog is counted from the record by the
// caller of state(), a call running longer than kCentralStallSeconds shows as not connected,
// and finish() abandons the thread after its grace (it owns what it uses, and ends with the
// process).
#ifndef TARVOLO_CENTRAL_CENTRAL_LINK_H
#define TARVOLO_CENTRAL_CENTRAL_LINK_H

#include <chrono>
#include <cstdint>
#include <memory>
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

// A call to the server running this long shows the link as not connected.
constexpr int kCentralStallSeconds = 10;

// What the station shows and acts on.
struct CentralState {
    bool connected = false;      // connected, and no call has been waiting too long
    Backlog backlog;             // what the record holds that the server has not confirmed
    std::string lastError;       // why the last attempt failed (password-free)
    ApprovalState approval = ApprovalState::Approved;
    std::string approvalsFetchedUtc;  // when the approvals judged by were fetched
};

class LinkThread;

class CentralLink {
public:
    explicit CentralLink(CentralLinkOptions options);
    ~CentralLink();  // finish(0)
    CentralLink(const CentralLink&) = delete;
    CentralLink& operator=(const CentralLink&) = delete;

    // Opens the record's ledger and starts the thread. False with a reason.
    bool start(std::string* error);
    // The link's state and the record's backlog, counted here at most once a second (and after
    // a nudge). Never waits for the thread; state(), nudge() and finish() from one thread.
    CentralState state();
    // A unit was committed: ship soon rather than at the next poll.
    void nudge();
    // One last pass (at most `grace` long when the server answers); the thread ends, or is
    // abandoned to the process's end if a call still blocks a second after the grace.
    void finish(std::chrono::milliseconds grace);
    // finish() left the thread in its call: end the process with endLeavingCentralLink.
    bool abandoned() const { return abandoned_; }

private:
    void countBacklog(bool now);

    CentralLinkOptions options_;
    std::shared_ptr<LinkThread> link_;  // shared with the thread, which may outlive this object
    std::thread thread_;
    std::unique_ptr<CentralLedger> counter_;  // this side's own connection to the record
    Backlog backlog_;
    std::chrono::steady_clock::time_point countedAt_{};
    bool countDue_ = true;
    bool abandoned_ = false;
};

// Ends the process at once with `code`, output flushed: a thread left blocked in a driver call
// still holds the driver's locks, which the libraries' exit-time teardown would destroy under
// it. Call it once the records are closed.
[[noreturn]] void endLeavingCentralLink(int code);

// The approval of a release at a station's start: fetched from the server (and the copy
// beside the record refreshed), or, the server unreachable, from that copy if it is at most
// `maxAge` old; `note` says which, `fetchedUtc` when what was judged by was fetched. False
// when neither can say (no server, no copy, a copy too old), with the reason in `note`.
// Without `useCopy` only the server is asked (a station whose signed files stand in for the
// copy, which has no signature and could be edited).
bool approvalAtStart(const CentralTarget& target, const std::string& recordPath, const std::string& sha256,
                     const std::string& productId, std::chrono::seconds maxAge, ApprovalState* state,
                     std::string* fetchedUtc, std::string* note, bool useCopy = true);

#endif

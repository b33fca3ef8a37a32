// The station's shipping thread (central_link.h). LinkThread is what the thread runs and owns:
// the connection, its ledger, and the state it shares with the station under one lock. The
// station holds it through a shared pointer, so a thread abandoned in a blocked call still
// owns everything it touches.
#include "central/central_link.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "central/shipper.h"
#include "record/utc_time.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kHeartbeatPeriod = std::chrono::seconds(30);
constexpr auto kLongestBackoff = std::chrono::seconds(60);
constexpr auto kShipPeriod = std::chrono::milliseconds(200);
constexpr int kLoginTimeoutSeconds = 5;
constexpr auto kLastRetryPause = std::chrono::milliseconds(200);
constexpr auto kStall = std::chrono::seconds(kCentralStallSeconds);
constexpr auto kAbandonAfter = std::chrono::seconds(1);
constexpr auto kCountPeriod = std::chrono::seconds(1);

}  // namespace

class LinkThread {
public:
    LinkThread(CentralLinkOptions options, std::unique_ptr<CentralLedger> ledger)
        : options_(std::move(options)), ledger_(std::move(ledger))
    {
        state_.approvalsFetchedUtc = options_.approvalsFetchedUtc;
    }

    void run();
    // The shared part of the state, a call blocked past kStall shown as a lost connection.
    CentralState snapshot() const;
    void nudge();
    // Asks the thread to end by now + grace; true once it has, false if it has not by `limit`.
    bool stop(std::chrono::milliseconds grace, Clock::duration limit);

private:
    bool connect();
    void heartbeat();
    void fetchApprovals();
    bool shipOnce();  // true when nothing is left that the server would take
    void backOff();
    void wait(std::chrono::milliseconds period);
    void setError(const std::string& error, bool connected);
    void calling(bool busy);  // a stretch of calls to the server begins (or goes on), or ends
    bool stopping() const;

    CentralLinkOptions options_;
    std::unique_ptr<CentralLedger> ledger_;
    std::unique_ptr<OdbcConnection> db_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    CentralState state_;
    Clock::time_point callSince_{};  // the server's last answer while calls go on; zero when idle
    bool stopping_ = false;
    bool nudged_ = false;
    bool ended_ = false;
    Clock::time_point finishBy_{};
    std::chrono::seconds backoff_{1};
    Clock::time_point heartbeatDue_{};
    Clock::time_point approvalDue_{};
};

CentralState LinkThread::snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    CentralState s = state_;
    const auto waited = Clock::now() - callSince_;
    if (callSince_ != Clock::time_point{} && waited >= kStall) {
        s.connected = false;
        s.lastError = "the central database has not answered for " +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited).count()) + " s";
    }
    return s;
}

void LinkThread::nudge()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nudged_ = true;
    }
    wake_.notify_all();
}

bool LinkThread::stop(std::chrono::milliseconds grace, Clock::duration limit)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!stopping_)
        finishBy_ = Clock::now() + grace;
    stopping_ = true;
    wake_.notify_all();
    return wake_.wait_for(lock, limit, [this] { return ended_; });
}

bool LinkThread::stopping() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

void LinkThread::wait(std::chrono::milliseconds period)
{
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, period, [this] { return stopping_ || nudged_; });
    nudged_ = false;
}

void LinkThread::setError(const std::string& error, bool connected)
{
    std::lock_guard<std::mutex> lock(mutex_);
    state_.lastError = error;
    state_.connected = connected;
}

void LinkThread::calling(bool busy)
{
    std::lock_guard<std::mutex> lock(mutex_);
    callSince_ = busy ? Clock::now() : Clock::time_point{};
}

bool LinkThread::connect()
{
    OdbcError e;
    db_ = connectCentral(options_.target, kLoginTimeoutSeconds, &e);
    if (!db_) {
        setError(e.text(), false);
        return false;
    }
    setError("", true);
    heartbeatDue_ = approvalDue_ = Clock::now();
    return true;
}

// The dashboard's sign of life: the station's row, its last_heard the server's time.
void LinkThread::heartbeat()
{
    OdbcError e;
    if (db_->exec("INSERT INTO stations (station_id, last_heard, tool_version) VALUES (?, now(), ?) "
                  "ON CONFLICT (station_id) DO UPDATE SET last_heard = EXCLUDED.last_heard, "
                  "tool_version = EXCLUDED.tool_version",
                  {options_.stationId, options_.toolVersion}, &e)) {
        heartbeatDue_ = Clock::now() + kHeartbeatPeriod;
    } else if (e.refusedData()) {
        // Refused for its values (an overlong station id): the same row would be refused at
        // once again, so it waits its period like a heartbeat that went through.
        heartbeatDue_ = Clock::now() + kHeartbeatPeriod;
        setError("the server refuses this station's heartbeat: " + e.text(), true);
    } else {
        db_.reset();
        // The row rules refuse a login writing as another station (insufficient privilege).
        const char* hint = e.state == "42501" ? ": this login writes only as the station `tarvolo central init "
                                                "--station` named; check --station-id and Uid"
                                              : "";
        setError(e.text() + hint, false);
    }
}

void LinkThread::fetchApprovals()
{
    std::vector<ReleaseApproval> approvals;
    OdbcError e;
    if (!::fetchApprovals(*db_, &approvals, &e)) {
        db_.reset();
        setError(e.text(), false);
        return;
    }
    approvalDue_ = Clock::now() + options_.approvalPeriod;
    std::string ignored;
    const std::string now = nowUtc();
    saveApprovalCache(approvalCachePath(options_.recordPath), approvals, now, &ignored);
    std::lock_guard<std::mutex> lock(mutex_);
    state_.approval = approvalOf(approvals, options_.releaseSha256, options_.productId);
    state_.approvalsFetchedUtc = now;
}

bool LinkThread::shipOnce()
{
    Shipper shipper(*ledger_, *db_);
    ShipTotals totals;
    std::string error;
    // Asked before each batch: the last one was answered.
    const ShipResult result = shipper.shipPending(&totals, &error, [this] {
        calling(true);
        std::lock_guard<std::mutex> lock(mutex_);
        return !stopping_ || Clock::now() < finishBy_;
    });
    std::lock_guard<std::mutex> lock(mutex_);
    if (result == ShipResult::Done) {
        backoff_ = std::chrono::seconds(1);
        state_.lastError.clear();
        return true;
    }
    state_.lastError = error;
    if (result == ShipResult::ServerFault) {
        db_.reset();
        state_.connected = false;
    }
    return false;
}

void LinkThread::backOff()
{
    wait(std::chrono::duration_cast<std::chrono::milliseconds>(backoff_));
    backoff_ = std::min(backoff_ * 2, std::chrono::seconds(kLongestBackoff));
}

void LinkThread::run()
{
    for (;;) {
        const bool last = stopping();
        if (last && Clock::now() >= finishBy_)
            break;
        calling(true);
        if (!db_ && !connect()) {
            calling(false);
            if (last)
                std::this_thread::sleep_for(kLastRetryPause);  // the station is ending: short retries
            else
                backOff();
            continue;
        }
        if (Clock::now() >= heartbeatDue_)
            heartbeat();
        if (db_ && options_.checkApproval && Clock::now() >= approvalDue_)
            fetchApprovals();
        const bool shipped = db_ && shipOnce();
        calling(false);
        if (last && shipped)
            break;
        if (last)
            std::this_thread::sleep_for(kLastRetryPause);
        else if (db_)
            wait(kShipPeriod);
        else
            backOff();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    wake_.notify_all();
}

CentralLink::CentralLink(CentralLinkOptions options) : options_(std::move(options)) {}

CentralLink::~CentralLink() { finish(std::chrono::milliseconds(0)); }

bool CentralLink::start(std::string* error)
{
    auto ledger = CentralLedger::open(options_.recordPath, false, error);
    if (!ledger)
        return false;
    counter_ = CentralLedger::open(options_.recordPath, true, error);
    if (!counter_)
        return false;
    link_ = std::make_shared<LinkThread>(options_, std::move(ledger));
    countBacklog(true);
    std::shared_ptr<LinkThread> link = link_;
    thread_ = std::thread([link] { link->run(); });
    return true;
}

void CentralLink::countBacklog(bool now)
{
    const auto at = Clock::now();
    if (!counter_ || (!now && !countDue_ && at - countedAt_ < kCountPeriod))
        return;
    Backlog counted;
    std::string ignored;
    if (counter_->backlog(&counted, &ignored))
        backlog_ = counted;
    countedAt_ = at;
    countDue_ = false;
}

CentralState CentralLink::state()
{
    countBacklog(false);
    CentralState s = link_ ? link_->snapshot() : CentralState();
    s.backlog = backlog_;
    return s;
}

void CentralLink::nudge()
{
    countDue_ = true;
    if (link_)
        link_->nudge();
}

void CentralLink::finish(std::chrono::milliseconds grace)
{
    if (!thread_.joinable())
        return;
    if (link_->stop(grace, grace + kAbandonAfter)) {
        thread_.join();
    } else {
        thread_.detach();  // blocked in a call the server never answers: it ends with the process
        abandoned_ = true;
    }
    countDue_ = true;
}

void endLeavingCentralLink(int code)
{
    std::fflush(nullptr);
    std::_Exit(code);
}

bool approvalAtStart(const CentralTarget& target, const std::string& recordPath, const std::string& sha256,
                     const std::string& productId, std::chrono::seconds maxAge, ApprovalState* state,
                     std::string* fetchedUtc, std::string* note, bool useCopy)
{
    std::vector<ReleaseApproval> approvals;
    OdbcError e;
    auto db = connectCentral(target, kLoginTimeoutSeconds, &e);
    if (db && fetchApprovals(*db, &approvals, &e)) {
        std::string ignored;
        *fetchedUtc = nowUtc();
        saveApprovalCache(approvalCachePath(recordPath), approvals, *fetchedUtc, &ignored);
        *state = approvalOf(approvals, sha256, productId);
        note->clear();
        return true;
    }
    std::string fetched, why;
    if (!useCopy) {
        *note = "the central database cannot be reached (" + e.text() + ")";
        return false;
    }
    if (!loadApprovalCache(approvalCachePath(recordPath), &approvals, &fetched, &why) ||
        !approvalsFresh(fetched, maxAge, &why)) {
        *note = "the central database cannot be reached (" + e.text() + ") and " + why + " (" +
                approvalCachePath(recordPath) + ")";
        return false;
    }
    *fetchedUtc = fetched;
    *state = approvalOf(approvals, sha256, productId);
    *note = "the central database cannot be reached (" + e.text() + "): using the approvals fetched at " +
            fetched + " (" + approvalCachePath(recordPath) + ")";
    return true;
}

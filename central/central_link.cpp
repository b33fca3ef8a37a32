// The station's shipping thread (central_link.h).
#include "central/central_link.h"

#include <algorithm>

#include "central/shipper.h"
#include "record/utc_time.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kHeartbeatPeriod = std::chrono::seconds(30);
constexpr auto kLongestBackoff = std::chrono::seconds(60);
constexpr auto kShipPeriod = std::chrono::milliseconds(200);
constexpr int kLoginTimeoutSeconds = 5;
constexpr auto kLastRetryPause = std::chrono::milliseconds(200);

std::string nowUtc() { return formatUtc(std::chrono::system_clock::now()); }

}  // namespace

CentralLink::CentralLink(CentralLinkOptions options) : options_(std::move(options)) {}

CentralLink::~CentralLink() { finish(std::chrono::milliseconds(0)); }

bool CentralLink::start(std::string* error)
{
    ledger_ = CentralLedger::open(options_.recordPath, false, error);
    if (!ledger_)
        return false;
    Backlog backlog;
    if (ledger_->backlog(&backlog, error)) {
        state_.unconfirmed = backlog.unconfirmed;
        state_.oldestEndedUtc = backlog.oldestEndedUtc;
        state_.quarantined = backlog.quarantined;
        state_.conflicts = backlog.conflicts;
        state_.lastConflict = backlog.lastConflict;
        state_.lastDiffering = backlog.lastDiffering;
    }
    state_.approvalsFetchedUtc = options_.approvalsFetchedUtc;
    thread_ = std::thread([this] { run(); });
    return true;
}

CentralState CentralLink::state() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

void CentralLink::nudge()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nudged_ = true;
    }
    wake_.notify_one();
}

void CentralLink::finish(std::chrono::milliseconds grace)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_)
            finishBy_ = Clock::now() + grace;
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void CentralLink::wait(std::chrono::milliseconds period)
{
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, period, [this] { return stopping_ || nudged_; });
    nudged_ = false;
}

void CentralLink::setError(const std::string& error, bool connected)
{
    std::lock_guard<std::mutex> lock(mutex_);
    state_.lastError = error;
    state_.connected = connected;
}

bool CentralLink::connect()
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
void CentralLink::heartbeat()
{
    OdbcError e;
    if (db_->exec("INSERT INTO stations (station_id, last_heard, tool_version) VALUES (?, now(), ?) "
                  "ON CONFLICT (station_id) DO UPDATE SET last_heard = EXCLUDED.last_heard, "
                  "tool_version = EXCLUDED.tool_version",
                  {options_.stationId, options_.toolVersion}, &e)) {
        heartbeatDue_ = Clock::now() + kHeartbeatPeriod;
    } else if (!e.refusedData()) {
        db_.reset();
        setError(e.text(), false);
    }
}

void CentralLink::fetchApprovals()
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

bool CentralLink::shipOnce()
{
    Shipper shipper(*ledger_, *db_);
    ShipTotals totals;
    std::string error;
    const ShipResult result = shipper.shipPending(&totals, &error, [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return !stopping_ || Clock::now() < finishBy_;
    });
    countBacklog();
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

void CentralLink::countBacklog()
{
    Backlog backlog;
    std::string ignored;
    if (!ledger_->backlog(&backlog, &ignored))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    state_.unconfirmed = backlog.unconfirmed;
    state_.oldestEndedUtc = backlog.oldestEndedUtc;
    state_.quarantined = backlog.quarantined;
    state_.conflicts = backlog.conflicts;
    state_.lastConflict = backlog.lastConflict;
    state_.lastDiffering = backlog.lastDiffering;
}

// While the server is away the units still count: --central-required judges their age.
void CentralLink::waitOut(std::chrono::seconds pause)
{
    const auto until = Clock::now() + pause;
    for (;;) {
        countBacklog();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
        }
        const auto now = Clock::now();
        if (now >= until)
            return;
        wait(std::chrono::duration_cast<std::chrono::milliseconds>(until - now));
    }
}

void CentralLink::run()
{
    for (;;) {
        bool last;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            last = stopping_;
        }
        if (last && Clock::now() >= finishBy_)
            return;
        if (!db_ && !connect()) {
            if (last) {
                // The station is ending: short retries until its grace is spent.
                std::this_thread::sleep_for(kLastRetryPause);
                continue;
            }
            waitOut(backoff_);
            backoff_ = std::min(backoff_ * 2, std::chrono::seconds(kLongestBackoff));
            continue;
        }
        if (Clock::now() >= heartbeatDue_)
            heartbeat();
        if (db_ && options_.checkApproval && Clock::now() >= approvalDue_)
            fetchApprovals();
        const bool shipped = db_ && shipOnce();
        if (last && shipped)
            return;
        if (last) {
            std::this_thread::sleep_for(kLastRetryPause);
            continue;
        }
        if (db_) {
            wait(std::chrono::duration_cast<std::chrono::milliseconds>(kShipPeriod));
        } else {
            waitOut(backoff_);
            backoff_ = std::min(backoff_ * 2, std::chrono::seconds(kLongestBackoff));
        }
    }
}

bool approvalAtStart(const CentralTarget& target, const std::string& recordPath, const std::string& sha256,
                     const std::string& productId, std::chrono::seconds maxAge, ApprovalState* state,
                     std::string* fetchedUtc, std::string* note)
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

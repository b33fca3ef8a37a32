// tarvolo central (init, approve, retire) and tarvolo ship: the line's central database over ODBC.
// `central init` creates or migrates its tables (and with --roles the station group, the
// reader and the rules that keep each station to its own rows; with --station one station's
// login); `central approve` keeps the table of approved releases; `central retire` drops
// whole months of units (units_partitions.h); `ship` sends a
// record's backlog without a station. Passwords come from a file and appear in no output.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <memory>

#include "central/approvals.h"
#include "central/central_connection.h"
#include "central/central_schema.h"
#include "central/shipper.h"
#include "central/units_partitions.h"
#include "cli/commands.h"
#include "output/shown_text.h"
#include "record/production_record.h"
#include "record/utc_time.h"

namespace {

struct CentralArguments {
    std::string central;
    std::string passwordFile;
    bool roles = false;
    CentralRoles roleNames;
    std::string stationId;     // central init --station: a login for this station
    std::string stationLogin;  // empty: defaultStationLogin
    std::string file;
    std::string by;
    bool revoke = false;
    std::string db;
    int batch = 500;
    std::string before;  // central retire: the first month kept, YYYY-MM
    bool dryRun = false;
};

int fail(const char* command, int code, const std::string& message)
{
    std::fprintf(stderr, "tarvolo %s: %s\n", command, terminalSafe(message).c_str());
    return code;
}

// The connection, or an exit code with its message printed.
std::unique_ptr<OdbcConnection> connect(const char* command, const CentralArguments& a, int* code)
{
    CentralTarget target;
    std::string error;
    if (!resolveCentral(a.central, a.passwordFile, &target, &error)) {
        *code = fail(command, kExitUsage, error);
        return nullptr;
    }
    if (target.connection.empty()) {
        *code = fail(command, kExitUsage, "no central database: give --central CONNECTION or set TARVOLO_CENTRAL");
        return nullptr;
    }
    OdbcError e;
    auto db = connectCentral(target, 10, &e);
    if (!db)
        *code = fail(command, kExitCentralFailed, "cannot reach the central database: " + e.text());
    else  // an administrator's command: a migration may take minutes, or not run in a transaction
        db->setStatementTimeout(0);
    return db;
}

// The server's reason, and what to do about a lock that stayed taken (init and retire wait a
// few seconds for the units table, not for ever, so stations queued behind them go on).
std::string serverReason(const OdbcError& e)
{
    if (e.state == "55P03")
        return e.text() + "; another session held the units table (a long query?): nothing was changed, run again";
    return e.text();
}

// What the administrator does next: the password is theirs to set, never ours to print.
void printStationLogin(const CentralArguments& a, const std::string& login, bool created)
{
    std::printf("station %s writes as the login %s (%s, member of %s): its own rows only\n",
                terminalSafe(a.stationId).c_str(), login.c_str(), created ? "created" : "already there",
                a.roleNames.station.c_str());
    if (created)
        std::printf("next: set its password as an administrator (psql: \\password %s), or let the site's "
                    "authentication admit it;\n",
                    login.c_str());
    std::printf("then run the station with --station-id %s and Uid=%s in --central, the password in "
                "--central-password-file\n",
                terminalSafe(a.stationId).c_str(), login.c_str());
}

int runInit(const CentralArguments& a)
{
    int code = 0;
    auto db = connect("central init", a, &code);
    if (!db)
        return code;
    OdbcError e;
    const bool roles = a.roles || !a.stationId.empty();
    if (!initCentralSchema(*db, &e))
        return fail("central init", kExitCentralFailed, "cannot create the tables: " + serverReason(e));
    if (roles && !initCentralRoles(*db, a.roleNames, &e))
        return fail("central init", kExitCentralFailed, "cannot create the roles: " + e.text());
    std::printf("central database ready: tables stations, runs, run_ends, units, releases%s\n",
                roles ? (", station group " + a.roleNames.station + " (no login of its own), reader " +
                         a.roleNames.reader)
                            .c_str()
                      : "");
    if (a.stationId.empty())
        return 0;
    const std::string login =
        a.stationLogin.empty() ? defaultStationLogin(a.roleNames, a.stationId) : a.stationLogin;
    bool created = false;
    if (!initStationLogin(*db, a.roleNames, a.stationId, login, &created, &e))
        return fail("central init", kExitCentralFailed, "cannot create the station's login: " + e.text());
    printStationLogin(a, login, created);
    return 0;
}

int runApprove(const CentralArguments& a)
{
    ReleaseApproval approval;
    std::string error;
    if (!releaseIdentity(a.file, &approval.sha256, &approval.productId, &error))
        return fail("central approve", kExitCannotOpen, error);
    int code = 0;
    auto db = connect("central approve", a, &code);
    if (!db)
        return code;
    const std::string now = nowUtc();
    approval.releaseFile = a.file;
    OdbcError e;
    const std::string what = a.file + " (product " + approval.productId + ", sha256 " + approval.sha256 + ")";
    if (a.revoke) {
        approval.revokedBy = a.by;
        approval.revokedUtc = now;
        bool found = false;
        if (!revokeRelease(*db, approval, &found, &e))
            return fail("central approve", kExitCentralFailed, "cannot revoke: " + e.text());
        if (!found)
            return fail("central approve", kExitCannotOpen, what + " was never approved");
        std::printf("revoked %s by %s\n", terminalSafe(what).c_str(), terminalSafe(a.by).c_str());
        return 0;
    }
    approval.approvedBy = a.by;
    approval.approvedUtc = now;
    if (!approveRelease(*db, approval, &e))
        return fail("central approve", kExitCentralFailed, "cannot approve: " + e.text());
    std::printf("approved %s by %s\n", terminalSafe(what).c_str(), terminalSafe(a.by).c_str());
    return 0;
}

int runRetire(const CentralArguments& a)
{
    std::string firstDay;
    if (!parseMonth(a.before, &firstDay))
        return fail("central retire", kExitUsage,
                    "--before: a month as YYYY-MM (such as 2025-01, from 1970-01), not '" + a.before + "'");
    int code = 0;
    auto db = connect("central retire", a, &code);
    if (!db)
        return code;
    const char* verb = a.dryRun ? "would drop" : "dropped";
    RetireResult result;
    OdbcError e;
    const bool ok = retireUnitMonths(*db, firstDay, a.dryRun, &result, [&](const RetiredMonth& m) {
        std::printf("%s %s (%s): %lld units", verb, m.partition.c_str(), m.month.c_str(),
                    static_cast<long long>(m.units));
        std::printf(a.dryRun ? "\n" : " in %.3f s\n", m.seconds);
        std::fflush(stdout);
    }, &e);
    if (!ok)
        return fail("central retire", kExitCentralFailed, "cannot retire: " + serverReason(e));
    if (result.refusedCurrent)
        return fail("central retire", kExitUsage,
                    "--before " + a.before + " would take the current month " + result.currentMonth +
                        " (by the server's clock): the latest is --before " + result.currentMonth);
    if (result.months.empty())
        std::printf("no month before %s to drop\n", a.before.c_str());
    return 0;
}

int runShip(const CentralArguments& a)
{
    const std::string path = a.db.empty() ? defaultRecordPath() : a.db;
    std::string error;
    auto ledger = CentralLedger::open(path, false, &error);
    if (!ledger)
        return fail("ship", kExitCannotOpen, error);
    int code = 0;
    auto db = connect("ship", a, &code);
    if (!db)
        return code;
    Shipper shipper(*ledger, *db, a.batch);
    ShipTotals totals;
    const ShipResult result = shipper.shipPending(&totals, &error);
    Backlog left;
    std::string ignored;
    ledger->backlog(&left, &ignored);
    std::printf("shipped %lld units and %lld runs from %s; %lld quarantined; %lld conflicts; %lld not shipped\n",
                static_cast<long long>(totals.units), static_cast<long long>(totals.runs),
                terminalSafe(path).c_str(), static_cast<long long>(totals.quarantined),
                static_cast<long long>(totals.conflicts), static_cast<long long>(left.unconfirmed));
    if (left.conflicts > 0)
        std::fprintf(stderr, "tarvolo ship: %lld units are in the central database with other content and are "
                             "not confirmed (latest %s, differing in %s): tarvolo log --db %s --quarantined\n",
                     static_cast<long long>(left.conflicts), terminalSafe(left.lastConflict).c_str(),
                     terminalSafe(left.lastDiffering).c_str(), terminalSafe(path).c_str());
    if (result == ShipResult::LocalFault)
        return fail("ship", kExitCannotOpen, error);
    if (result == ShipResult::ServerFault)
        return fail("ship", kExitCentralFailed, "the central database failed: " + error);
    return 0;
}

void connectionOptions(CLI::App* cmd, CentralArguments& a)
{
    cmd->add_option("--central", a.central,
                    "ODBC connection string or DSN=NAME (default: the environment variable TARVOLO_CENTRAL); "
                    "no password in it")
        ->type_name("CONNECTION");
    cmd->add_option("--central-password-file", a.passwordFile, "A file holding the password (one line)")
        ->type_name("FILE");
}

constexpr const char* kCentralFooter =
    "Exit codes: 0 done; 1 a file cannot be read (or the release was never approved, for\n"
    "--revoke); 64 bad argument (for retire, also a month after the current one); 69 the central\n"
    "database cannot be reached or refused.";

}  // namespace

void setupCentralCommand(CLI::App& app, std::function<int()>& run)
{
    auto a = std::make_shared<CentralArguments>();
    auto* cmd = app.add_subcommand("central", "The line's central database: create it, approve releases");
    cmd->require_subcommand(1);
    cmd->footer(kCentralFooter);
    auto* init = cmd->add_subcommand("init", "Create or migrate the central tables (and with --roles two roles)");
    connectionOptions(init, *a);
    init->add_flag("--roles", a->roles, "Also create the station group (each station logs in as its own member, "
                                        "writing only its own rows) and a reader role (reads everything)");
    auto* station = init->add_option("--station", a->stationId,
                     "Also (with the roles) create the login station ID writes as, printing what to do next")
        ->type_name("ID");
    init->add_option("--station-login", a->stationLogin,
                     "That login's name (default: the group's name, _, the id in lower case)")
        ->type_name("ROLE")
        ->needs(station);
    init->add_option("--station-role", a->roleNames.station, "The station group's name")->capture_default_str();
    init->add_option("--reader-role", a->roleNames.reader, "The reader role's name")->capture_default_str();
    init->callback([&run, a] { run = [a] { return runInit(*a); }; });
    auto* approve = cmd->add_subcommand("approve", "Approve a release file (or --revoke its approval)");
    connectionOptions(approve, *a);
    approve->add_option("file", a->file, "Release file (.rel)")->required();
    approve->add_option("--by", a->by, "Who approves or revokes")->required();
    approve->add_flag("--revoke", a->revoke, "Revoke the approval");
    approve->callback([&run, a] { run = [a] { return runApprove(*a); }; });
    auto* retire = cmd->add_subcommand("retire", "Drop the units of whole months before a month (never the current one)");
    connectionOptions(retire, *a);
    retire->add_option("--before", a->before, "The first month kept, YYYY-MM: every month before it goes")
        ->type_name("YYYY-MM")
        ->required();
    retire->add_flag("--dry-run", a->dryRun, "Only list the months and their units that would go");
    retire->callback([&run, a] { run = [a] { return runRetire(*a); }; });
}

void setupShipCommand(CLI::App& app, std::function<int()>& run)
{
    auto a = std::make_shared<CentralArguments>();
    auto* cmd = app.add_subcommand("ship", "Send a record's units not yet in the central database");
    cmd->footer("Exit codes: 0 everything the server takes is shipped; 1 the record cannot be read or\n"
                "written; 64 bad argument; 69 the central database cannot be reached or failed.");
    connectionOptions(cmd, *a);
    cmd->add_option("--db", a->db, std::string("The production record (default ") + defaultRecordPath() + ")")
        ->type_name("FILE");
    cmd->add_option("--batch", a->batch, "Units per transaction")->check(CLI::Range(1, 1000))->capture_default_str();
    cmd->callback([&run, a] { run = [a] { return runShip(*a); }; });
}

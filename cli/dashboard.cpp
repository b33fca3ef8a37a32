// tarvolo dashboard: the line's page in a browser, read from the central database (the reader
// role is enough): every station and when it was last heard from, a period's figures per
// station and lot, a unit search with CSV export, and the releases. Serves until Ctrl-C.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "cli/commands.h"
#include "cli/console.h"
#include "output/shown_text.h"
#include "web/dashboard_server.h"
#include "web/serving_terms.h"

namespace {

struct DashboardArguments {
    std::string central;
    std::string passwordFile;
    std::string http;
    std::string httpTokenFile;
};

int fail(int code, const std::string& message)
{
    std::fprintf(stderr, "tarvolo dashboard: %s\n", terminalSafe(message).c_str());
    return code;
}

int runDashboard(const DashboardArguments& a)
{
    CentralTarget target;
    std::string error;
    if (!resolveCentral(a.central, a.passwordFile, &target, &error))
        return fail(kExitUsage, error);
    if (target.connection.empty())
        return fail(kExitUsage, "no central database: give --central CONNECTION or set TARVOLO_CENTRAL");
    // The address and the token are told before the database is tried.
    ListenAddress where;
    std::string token;
    if (!servingTerms(a.http, a.httpTokenFile, &where, &token, &error))
        return fail(kExitUsage, error);
    // Reached once before serving: a wrong connection is told now, not on the page.
    OdbcError e;
    auto db = connectCentral(target, 10, &e);
    if (!db)
        return fail(kExitCentralFailed, "cannot reach the central database: " + e.text());
    auto served = DashboardServer::open(where, std::move(token), target, std::move(db), &error);
    if (!served)
        return fail(kStationWebFailed, error);
    std::fprintf(stderr, "tarvolo dashboard: the line's page is at %s (Ctrl-C stops it)\n",
                 terminalSafe(served->url()).c_str());
    catchInterrupts();
    while (!interrupted())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}

}  // namespace

void setupDashboardCommand(CLI::App& app, std::function<int()>& run)
{
    auto a = std::make_shared<DashboardArguments>();
    auto* cmd = app.add_subcommand("dashboard", "Serve the line's page from the central database (read-only)");
    cmd->footer("Exit codes: 0 stopped by Ctrl-C or SIGTERM; 22 the --http address cannot be listened on;\n"
                "64 bad argument; 69 the central database cannot be reached.");
    cmd->add_option("--central", a->central,
                    "ODBC connection string or DSN=NAME (default: the environment variable TARVOLO_CENTRAL); "
                    "no password in it; the reader role is enough")
        ->type_name("CONNECTION");
    cmd->add_option("--central-password-file", a->passwordFile, "A file holding the password (one line)")
        ->type_name("FILE");
    cmd->add_option("--http", a->http,
                    "Serve the page at [ADDRESS:]PORT (address 127.0.0.1 unless given; any other needs "
                    "--http-token-file)")
        ->required();
    cmd->add_option("--http-token-file", a->httpTokenFile,
                    "File, yours alone (chmod 600), whose first line is the token the page asks for once (a 12-hour session follows)");
    cmd->callback([&run, a] { run = [a] { return runDashboard(*a); }; });
}

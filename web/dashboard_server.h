// The line's dashboard, served: `tarvolo dashboard --central ... --http [ADDRESS:]PORT`. Its
// page (dashboard.html and dashboard.js) and the three read-only answers of LineDashboard,
// on the terms every page keeps (serving_terms.h). Owned by the command; stopped (the
// server first) when it goes.
#ifndef TARVOLO_WEB_DASHBOARD_SERVER_H
#define TARVOLO_WEB_DASHBOARD_SERVER_H

#include <memory>
#include <string>

#include "web/line_dashboard.h"
#include "web/listen_address.h"
#include "web/web_server.h"

class DashboardServer {
public:
    // Serves the dashboard over `db` at `where`, with the token servingTerms gave (the caller
    // checks the terms before it reaches the database). Null with a message when the address
    // cannot be listened on.
    static std::unique_ptr<DashboardServer> open(const ListenAddress& where, std::string token, CentralTarget target,
                                                 std::unique_ptr<OdbcConnection> db, std::string* error);
    DashboardServer(std::string token, CentralTarget target, std::unique_ptr<OdbcConnection> db);

    const std::string& url() const { return url_; }

private:
    LineDashboard dashboard_;
    WebServer server_;
    std::string url_;
};

#endif

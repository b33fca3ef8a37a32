// The line's dashboard, served (dashboard_server.h).
#include "web/dashboard_server.h"

#include "web/serving_terms.h"

DashboardServer::DashboardServer(std::string token, CentralTarget target, std::unique_ptr<OdbcConnection> db)
    : dashboard_(std::move(target), std::move(db)), server_(std::move(token))
{
    server_.serveFile("/", "dashboard.html");
    for (const char* name : {"dashboard.js", "page.js", "chart.js"})
        server_.serveFile(std::string("/") + name, name);
    server_.serveAnswer("/api/line", [this](const WebQuery& q) { return dashboard_.line(q); });
    server_.serveAnswer("/api/units", [this](const WebQuery& q) { return dashboard_.units(q); });
    server_.serveAnswer("/units.csv", [this](const WebQuery& q) { return dashboard_.csv(q); });
}

std::unique_ptr<DashboardServer> DashboardServer::open(const ListenAddress& where, std::string token,
                                                       CentralTarget target, std::unique_ptr<OdbcConnection> db,
                                                       std::string* error)
{
    auto served = std::make_unique<DashboardServer>(std::move(token), std::move(target), std::move(db));
    if (!served->server_.start(where, error))
        return (*error = "--http: " + *error, nullptr);
    served->url_ = pageUrl(where, served->server_.port());
    return served;
}

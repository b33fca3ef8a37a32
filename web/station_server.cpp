// The station's page, served (see station_server.h).
#include "web/station_server.h"

#include "session/exit_codes.h"
#include "web/serving_terms.h"

namespace {

// A page that falls this many messages behind gets a fresh snapshot instead; the charts keep
// this many of the run's units.
constexpr size_t kPageQueueLimit = 512;
constexpr size_t kUnitsCharted = 2000;

}  // namespace

StationServer::StationServer(std::string token)
    : feed_(kPageQueueLimit, kUnitsCharted), page_(feed_), server_(std::move(token))
{
    server_.serveFile("/", "station.html");
    for (const char* name : {"station.js", "page.js", "chart.js"})
        server_.serveFile(std::string("/") + name, name);
    server_.serveFeed("/events", feed_);
}

std::unique_ptr<StationServer> StationServer::open(const std::string& listen, const std::string& tokenFile,
                                                   std::string* error, int* code)
{
    *code = kExitUsage;
    ListenAddress where;
    std::string token;
    if (!servingTerms(listen, tokenFile, &where, &token, error))
        return nullptr;
    auto served = std::make_unique<StationServer>(token);
    if (!served->server_.start(where, error)) {
        *code = kStationWebFailed;
        return (*error = "--http: " + *error, nullptr);
    }
    served->url_ = pageUrl(where, served->server_.port());
    return served;
}

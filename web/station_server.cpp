// The station's page, served (see station_server.h).
#include "web/station_server.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "capture/capture_store.h"
#include "session/exit_codes.h"
#include "web/serving_terms.h"

namespace {

// A page that falls this many messages behind gets a fresh snapshot instead; the charts keep
// this many of the run's units.
constexpr size_t kPageQueueLimit = 512;
constexpr size_t kUnitsCharted = 2000;

// A unit's capture, as a file to save. The id is the browser's: only a unit capture's own
// name in the capture folder is ever opened, never a path the request makes up.
WebAnswer captureAnswer(const std::string& folder, const WebQuery& query)
{
    const auto id = query.find("id");
    const std::string name = (id == query.end() ? std::string() : id->second) + ".pcapng";
    if (!isCaptureName(name))
        return {400, "{\"error\":\"not a unit's capture id\"}", "application/json", {}};
    std::ifstream in(std::filesystem::path(folder) / name, std::ios::binary);
    if (!in)
        return {404, "{\"error\":\"no such capture (removed past its age or size?)\"}", "application/json", {}};
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return {200, bytes.str(), "application/octet-stream", name};
}

}  // namespace

StationServer::StationServer(std::string token, const std::string& captureFolder)
    : feed_(kPageQueueLimit, kUnitsCharted), page_(feed_), server_(std::move(token))
{
    if (!captureFolder.empty())
        server_.serveAnswer("/capture", [captureFolder](const WebQuery& q) { return captureAnswer(captureFolder, q); });
    server_.serveFile("/", "station.html");
    for (const char* name : {"station.js", "page.js", "chart.js"})
        server_.serveFile(std::string("/") + name, name);
    server_.serveFeed("/events", feed_);
}

std::unique_ptr<StationServer> StationServer::open(const std::string& listen, const std::string& tokenFile,
                                                   const std::string& captureFolder, std::string* error,
                                                   int* code)
{
    *code = kExitUsage;
    ListenAddress where;
    std::string token;
    if (!servingTerms(listen, tokenFile, &where, &token, error))
        return nullptr;
    auto served = std::make_unique<StationServer>(token, captureFolder);
    if (!served->server_.start(where, error)) {
        *code = kStationWebFailed;
        return (*error = "--http: " + *error, nullptr);
    }
    served->url_ = pageUrl(where, served->server_.port());
    return served;
}

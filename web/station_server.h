// The station's page, served: its feed, the page that fills it and the server, made from
// `--http [ADDRESS:]PORT` and `--http-token-file`, and stopped in that order's reverse (the
// server first, so no browser thread outlives the feed it reads). Owned by the command that
// runs the station; the station sees only listener().
#ifndef TARVOLO_WEB_STATION_SERVER_H
#define TARVOLO_WEB_STATION_SERVER_H

#include <memory>
#include <string>

#include "web/live_feed.h"
#include "web/station_page.h"
#include "web/web_server.h"

class StationServer {
public:
    // Serves the station's page, and the units' captures kept in `captureFolder` (empty: none)
    // at /capture?id=ATTEMPT-UUID. Null with a message and an exit code (64: the address, a
    // missing token file for an address other than 127.0.0.1, an unusable token; 22: the address
    // cannot be listened on).
    static std::unique_ptr<StationServer> open(const std::string& listen, const std::string& tokenFile,
                                               const std::string& captureFolder, std::string* error, int* code);
    StationServer(std::string token, const std::string& captureFolder);

    StationListener& listener() { return page_; }
    // Where a browser finds it: "http://127.0.0.1:8080/".
    const std::string& url() const { return url_; }

private:
    LiveFeed feed_;
    StationPage page_;
    WebServer server_;
    std::string url_;
};

#endif

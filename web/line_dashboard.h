// The line's dashboard's answers, read from the central database on each request: the line
// (stations, a period's figures per station and lot, releases) as JSON, a unit search as JSON
// and as CSV. Owns the one connection; requests come on the server's pool threads and take it
// in turn. A connection that failed is dropped and made again by the next request, so the page
// recovers on its own once the server is back.
#ifndef TARVOLO_WEB_LINE_DASHBOARD_H
#define TARVOLO_WEB_LINE_DASHBOARD_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "central/central_connection.h"
#include "central/line_view.h"
#include "web/web_server.h"

class LineDashboard {
public:
    LineDashboard(CentralTarget target, std::unique_ptr<OdbcConnection> db);

    // GET /api/line?period=8h|24h|7d or ?from=UTC&to=UTC
    WebAnswer line(const WebQuery& query);
    // GET /api/units?from&to&station&port&result&lot&release&attempt&label&offset: one page.
    WebAnswer units(const WebQuery& query);
    // GET /units.csv with the same filters: every column, up to kCsvUnits units.
    WebAnswer csv(const WebQuery& query);

private:
    // A question to the database: false with *error set when it did not answer.
    using Question = std::function<bool(OdbcConnection& db, OdbcError* error)>;
    // Which units of a search: at most `limit`, from the query's offset or from the first.
    struct SearchPage {
        int64_t limit;
        bool fromOffset;
    };

    // True when `question` was answered; else false with *refused the answer that says so.
    bool ask(const Question& question, WebAnswer* refused);
    // The search the query asks for (refused with 400 when malformed), run for `page`.
    bool findUnits(const WebQuery& query, const SearchPage& page, UnitSearch* search,
                   std::vector<UnitRecord>* found, WebAnswer* refused);
    OdbcConnection* connection(OdbcError* error);
    WebAnswer failed(const OdbcError& error);

    CentralTarget target_;
    std::mutex mutex_;  // one request at a time on the connection
    std::unique_ptr<OdbcConnection> db_;
};

#endif

// The program's HTTP server (GNU libmicrohttpd, hidden behind this class): the embedded files,
// the live feeds of pages, and the rules every response keeps. Read-only: GET and HEAD only (405
// for any other method). A Content-Security-Policy that allows only the program's own scripts
// and styles (no inline script, no eval) and nosniff on every response. With a token, every
// request but the login page's own files needs a session or the token (401 otherwise, with the
// login page; page_access.h). What a stranger can cost it is bounded: web_server.cpp.
//
// Threads: start() and stop() on the owner's thread; each connection on a thread of its own,
// an open page's feed holding it for as long as the page is open.
#ifndef TARVOLO_WEB_WEB_SERVER_H
#define TARVOLO_WEB_WEB_SERVER_H

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "web/listen_address.h"

class LiveFeed;

// An answer made on request (a query's JSON, a CSV file): `download`, when set, is the file
// name the browser saves it under.
struct WebAnswer {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::string download;
};
// A request's query parameters, the first value of each name.
using WebQuery = std::map<std::string, std::string>;

class WebServer {
public:
    // `token` empty: no token asked (a loopback address only; the caller decides).
    explicit WebServer(std::string token);
    ~WebServer();  // stops
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // `path` ("/" or "/station.js") answers with the embedded file `name`.
    void serveFile(const std::string& path, const std::string& name);
    // `path` answers with the feed's Server-Sent Events for as long as the page stays.
    void serveFeed(const std::string& path, LiveFeed& feed);
    // `path` answers with what `answer` makes of the query; on the server's pool threads, so
    // several at once.
    void serveAnswer(const std::string& path, std::function<WebAnswer(const WebQuery&)> answer);
    // Binds and starts serving. False with a message when the address cannot be taken.
    bool start(const ListenAddress& where, std::string* error);
    // The port actually listened on (the one chosen when 0 was asked).
    int port() const;
    // Ends every feed and the server; returns once its threads are done.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif

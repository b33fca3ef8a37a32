// The program's HTTP server (see web_server.h), on GNU libmicrohttpd: a thread per connection,
// so that an open page's feed and a slow database answer hold only their own connection.
//
// Bounds, each held by the library before a byte of a request reaches this file, or by the
// connection watch (connection_watch.h): a stranger's connections cost a known, small amount
// whatever they send.
//   - a connection's memory (kConnectionMemory): a request head that does not fit, however many
//     lines, is answered 431 (or 414 for its first line) and the connection closed; never read
//     further. A head that fits but is over kMostHeadBytes or kMostHeaders lines gets 431 here;
//   - connections: kMostPerClient per client address (more are closed at once, unanswered) and
//     at most connectionLimit() in all (past it new ones wait in the listening socket's short
//     backlog, then the system drops them), well below the descriptors the process may hold;
//   - time: a connection silent for kIdleSeconds is closed; one whose request head is not in
//     within kHeadTime (a client trickling a byte at a time) or whose answer is not done within
//     kAnswerTime is cut. Feeds, once answered, last as long as the page stays.
// Every answer closes its connection: a page's few files cost a connection each, and each
// connection's whole life is under the watch's deadline.
#include "web/web_server.h"

#include <microhttpd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "output/shown_text.h"
#include "web/connection_watch.h"
#include "web/embedded_files.h"
#include "web/listen_socket.h"
#include "web/live_feed.h"
#include "web/page_access.h"
#include "web/thread_name.h"

namespace {

constexpr size_t kConnectionMemory = 16 * 1024;  // request head and answer head, per connection
// What a request's head may hold, within that memory: more than any browser sends the pages.
constexpr size_t kMostHeaders = 64;
constexpr size_t kMostHeadBytes = 8 * 1024;
constexpr unsigned kMostConnections = 64;
constexpr unsigned kMostPerClient = 8;
constexpr unsigned kIdleSeconds = 10;
constexpr auto kHeadTime = std::chrono::seconds(10);
constexpr auto kAnswerTime = std::chrono::seconds(60);
// Feeds count among the connections; the rest stay for files and answers.
constexpr int kMostFeeds = kMostConnections / 2;
// Well inside kIdleSeconds, so that a quiet feed is never taken for a silent client.
constexpr auto kKeepAlivePeriod = std::chrono::seconds(4);
constexpr size_t kFeedBlock = 8 * 1024;

// No inline script or style, no eval, nothing from another origin: a text that slipped into
// markup still could not run.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
constexpr const char* kText = "text/plain; charset=utf-8";

// The connections the server may hold at once: kMostConnections, or a quarter of the
// descriptors the process may hold when that is less, so that the station's own files, lines and
// a restarted worker's pipes always find descriptors.
unsigned connectionLimit()
{
    const long limit = descriptorLimit();
    return limit <= 0 ? kMostConnections
                      : static_cast<unsigned>(std::clamp<long>(limit / 4, 4, kMostConnections));
}

// The Host values a page served without a token answers to: the address it listens on,
// localhost and this machine's own name, each with or without the port. A Host naming anything
// else (127.0.0.1.evil.example among them) is another site's page that had its name point at
// this machine (DNS rebinding) to read ours.
std::vector<std::string> ownHosts(const ListenAddress& where, int port)
{
    const bool v6 = where.host.find(':') != std::string::npos;
    std::vector<std::string> names = {v6 ? "[" + where.host + "]" : where.host, "localhost"};
    if (const std::string name = thisHostName(); !name.empty())
        names.push_back(name);
    std::vector<std::string> hosts;
    for (const std::string& name : names) {
        hosts.push_back(asciiLower(name));
        hosts.push_back(asciiLower(name) + ":" + std::to_string(port));
    }
    return hosts;
}

// The files the login page needs, which a browser without the token must be able to load, and
// the way out.
bool openToAll(const std::string& path)
{
    return path == "/login" || path == "/login.js" || path == "/page.css" || path == "/logout";
}

// What a request brings, read from the library's parse of its head.
struct Request {
    MHD_Connection* connection;
    std::string method, path, client;

    std::string header(const char* name) const
    {
        const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
        return value ? value : "";
    }
    std::vector<std::string> headers(const char* name) const
    {
        std::pair<const char*, std::vector<std::string>> found{name, {}};
        MHD_get_connection_values(
            connection, MHD_HEADER_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) {
                auto* f = static_cast<std::pair<const char*, std::vector<std::string>>*>(cls);
                if (value && asciiLower(key) == asciiLower(f->first))
                    f->second.push_back(value);
                return MHD_YES;
            },
            &found);
        return found.second;
    }
    // The header lines and the bytes of the head they and the request line make.
    std::pair<size_t, size_t> headSize() const
    {
        std::pair<size_t, size_t> size{0, method.size() + path.size() + 12};
        MHD_get_connection_values(
            connection, MHD_HEADER_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) {
                auto* s = static_cast<std::pair<size_t, size_t>*>(cls);
                s->first += 1;
                s->second += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
                return MHD_YES;
            },
            &size);
        MHD_get_connection_values(
            connection, MHD_GET_ARGUMENT_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) {
                static_cast<std::pair<size_t, size_t>*>(cls)->second +=
                    std::strlen(key) + (value ? std::strlen(value) : 0) + 2;
                return MHD_YES;
            },
            &size);
        return size;
    }
    WebQuery query() const
    {
        WebQuery query;
        MHD_get_connection_values(
            connection, MHD_GET_ARGUMENT_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) {
                static_cast<WebQuery*>(cls)->emplace(key, value ? value : "");
                return MHD_YES;
            },
            &query);
        return query;
    }
};

// What a request is answered with: a text, an embedded file (sent from where it lies) or a feed.
struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = kText;
    const EmbeddedFile* file = nullptr;
    LiveFeed* feed = nullptr;
    std::vector<std::pair<std::string, std::string>> headers;

    static Reply text(int status, std::string body)
    {
        Reply r;
        r.status = status;
        r.body = std::move(body);
        return r;
    }
};

using Route = std::function<Reply(const Request&)>;

// One open page's feed, as the library pulls it: events not yet handed over are kept until the
// next pull.
struct FeedStream {
    std::unique_ptr<LiveFeed::Subscription> subscription;
    std::atomic<int>* openFeeds;
    std::string pending;
    size_t at = 0;
};

// On the connection's thread; waits at most kKeepAlivePeriod for the feed.
ssize_t pullFeed(void* cls, uint64_t, char* buffer, size_t most)
{
    auto* stream = static_cast<FeedStream*>(cls);
    if (stream->at == stream->pending.size()) {
        std::string events;
        if (!stream->subscription->next(kKeepAlivePeriod, &events))
            return MHD_CONTENT_READER_END_OF_STREAM;
        // A comment when nothing came keeps proxies and the browser from timing out.
        stream->pending = events.empty() ? std::string(": still here\n\n") : std::move(events);
        stream->at = 0;
    }
    const size_t n = std::min(most, stream->pending.size() - stream->at);
    std::memcpy(buffer, stream->pending.data() + stream->at, n);
    stream->at += n;
    return static_cast<ssize_t>(n);
}

void endFeed(void* cls)
{
    auto* stream = static_cast<FeedStream*>(cls);
    stream->openFeeds->fetch_sub(1);
    delete stream;
}

}  // namespace

struct WebServer::Impl {
    explicit Impl(std::string token) : access(std::move(token)), watch(kHeadTime, kAnswerTime) {}

    PageAccess access;
    std::map<std::string, Route> routes;  // set before the server starts, read-only after
    std::vector<LiveFeed*> feeds;
    std::atomic<int> openFeeds{0};
    std::vector<std::string> hosts;  // set before the server starts, read-only after
    ConnectionWatch watch;
    MHD_Daemon* daemon = nullptr;
    int port = 0;

    // The library's calls, on its threads: a connection opened or closed (the listening
    // thread), and a request whose head is in (the connection's own thread, once a request).
    static void onConnection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code);
    static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                const char*, const char*, size_t*, void** state);

    Reply answer(const Request& req);
    std::optional<Reply> guard(const Request& req);
    Reply login(const Request& req);
    Reply logout(const Request& req);
    MHD_Result send(MHD_Connection* connection, const Reply& reply);
};

namespace {

Reply fileReply(const EmbeddedFile& file)
{
    Reply r;
    r.file = &file;
    r.contentType = file.contentType;
    return r;
}

Reply loginPage(int status)
{
    Reply r = embeddedFile("login.html") ? fileReply(*embeddedFile("login.html")) : Reply::text(status, "");
    r.status = status;
    return r;
}

Reply waitReply(int seconds)
{
    Reply r = Reply::text(429, "Too many wrong tokens: try again in " + std::to_string(seconds) + " s.\n");
    r.headers.emplace_back("Retry-After", std::to_string(seconds));
    return r;
}

std::string sessionCookie(const std::string& id, std::chrono::seconds life)
{
    return std::string(kSessionCookie) + "=" + id + "; Path=/; Max-Age=" + std::to_string(life.count()) +
           "; HttpOnly; SameSite=Strict";
}

}  // namespace

// Before any route: the head's size, the method, the Host, then the token. Nothing when the
// request may go on.
std::optional<Reply> WebServer::Impl::guard(const Request& req)
{
    if (const auto [lines, bytes] = req.headSize(); lines > kMostHeaders || bytes > kMostHeadBytes)
        return Reply::text(431, "The request's head is too large.\n");
    if (req.method != "GET" && req.method != "HEAD") {
        Reply r = Reply::text(405, "These pages are read-only: GET only.\n");
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    if (!access.asksToken() &&
        std::find(hosts.begin(), hosts.end(), asciiLower(req.header("Host"))) == hosts.end())
        return Reply::text(403, "This page is served to this machine only.\n");
    if (openToAll(req.path))
        return std::nullopt;
    const PageAccess::Answer a = access.check(req.client, req.header("Authorization"), req.headers("Cookie"),
                                              PageAccess::Clock::now());
    if (a.verdict == PageAccess::Verdict::admitted)
        return std::nullopt;
    if (a.verdict == PageAccess::Verdict::wait)
        return waitReply(a.waitSeconds);
    Reply r = loginPage(401);
    r.headers.emplace_back("WWW-Authenticate", "Bearer");
    return r;
}

// The login page's script asks with the token in an Authorization header; the answer sets the
// session's cookie, which no script can read back.
Reply WebServer::Impl::login(const Request& req)
{
    const std::string authorization = req.header("Authorization");
    if (authorization.empty())
        return loginPage(200);
    const PageAccess::Answer a = access.login(req.client, authorization, PageAccess::Clock::now());
    if (a.verdict == PageAccess::Verdict::wait)
        return waitReply(a.waitSeconds);
    if (a.verdict != PageAccess::Verdict::admitted)
        return Reply::text(401, "wrong token\n");
    Reply r = Reply::text(204, "");
    r.headers.emplace_back("Set-Cookie", sessionCookie(a.sessionId, PageAccess::kSessionLife));
    return r;
}

Reply WebServer::Impl::logout(const Request& req)
{
    access.logout(req.headers("Cookie"));
    Reply r = Reply::text(303, "");
    r.headers.emplace_back("Set-Cookie", sessionCookie("", std::chrono::seconds(0)));
    r.headers.emplace_back("Location", "/");
    return r;
}

Reply WebServer::Impl::answer(const Request& req)
{
    if (std::optional<Reply> refused = guard(req))
        return *refused;
    if (req.path == "/login")
        return login(req);
    if (req.path == "/logout")
        return logout(req);
    if (const auto route = routes.find(req.path); route != routes.end())
        return route->second(req);
    return Reply::text(404, "404\n");
}

MHD_Result WebServer::Impl::send(MHD_Connection* connection, const Reply& reply)
{
    MHD_Response* response = nullptr;
    if (reply.feed) {
        if (openFeeds.fetch_add(1) >= kMostFeeds) {
            openFeeds.fetch_sub(1);
            Reply busy = Reply::text(503, "Too many pages open: try again shortly.\n");
            busy.headers.emplace_back("Retry-After", "5");
            return send(connection, busy);
        }
        auto* stream = new FeedStream{reply.feed->subscribe(), &openFeeds, {}, 0};
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kFeedBlock, pullFeed, stream, endFeed);
        if (!response)
            endFeed(stream);
    } else if (reply.file) {
        response = MHD_create_response_from_buffer(reply.file->size, const_cast<unsigned char*>(reply.file->data),
                                                   MHD_RESPMEM_PERSISTENT);
    } else {
        response = MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()),
                                                   MHD_RESPMEM_MUST_COPY);
    }
    if (!response)
        return MHD_NO;
    for (const auto& [name, value] : std::initializer_list<std::pair<const char*, const char*>>{
             {"Content-Security-Policy", kContentSecurityPolicy},
             {"X-Content-Type-Options", "nosniff"},
             {"Referrer-Policy", "no-referrer"},
             {"Cache-Control", "no-store"},
             {"Connection", "close"},
             {"Content-Type", reply.contentType.c_str()}})
        MHD_add_response_header(response, name, value);
    for (const auto& [name, value] : reply.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
    MHD_destroy_response(response);
    return queued;
}

void WebServer::Impl::onConnection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code)
{
    auto* impl = static_cast<WebServer::Impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        impl->watch.closed(connection);
        return;
    }
    nameThisThread("tarvolo-web");
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info)
        impl->watch.opened(connection, static_cast<std::uintptr_t>(info->connect_fd));
}

MHD_Result WebServer::Impl::onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                     const char*, size_t*, void** state)
{
    if (*state)  // a body's later pieces: the answer went with the head
        return MHD_YES;
    *state = connection;
    nameThisThread("tarvolo-web");
    auto* impl = static_cast<WebServer::Impl*>(cls);
    Request req{connection, method, url, ""};
    if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
        req.client = peerAddress(info->client_addr);
    const Reply reply = impl->answer(req);
    impl->watch.answering(connection, reply.feed != nullptr);
    return impl->send(connection, reply);
}

WebServer::WebServer(std::string token) : impl_(std::make_unique<Impl>(std::move(token)))
{
    // Browsers ask for it unbidden; the pages have none.
    impl_->routes["/favicon.ico"] = [](const Request&) { return Reply::text(204, ""); };
    serveFile("/login.js", "login.js");
    serveFile("/page.css", "page.css");
}

WebServer::~WebServer() { stop(); }

void WebServer::serveFile(const std::string& path, const std::string& name)
{
    const EmbeddedFile* file = embeddedFile(name);
    if (!file)
        return;
    impl_->routes[path] = [file](const Request&) { return fileReply(*file); };
}

void WebServer::serveFeed(const std::string& path, LiveFeed& feed)
{
    impl_->feeds.push_back(&feed);
    impl_->routes[path] = [&feed](const Request&) {
        Reply r;
        r.feed = &feed;
        r.contentType = "text/event-stream";
        return r;
    };
}

void WebServer::serveAnswer(const std::string& path, std::function<WebAnswer(const WebQuery&)> answer)
{
    impl_->routes[path] = [answer = std::move(answer)](const Request& req) {
        const WebAnswer made = answer(req.query());
        Reply r = Reply::text(made.status, made.body);
        r.contentType = made.contentType;
        if (!made.download.empty())
            r.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + made.download + "\"");
        return r;
    };
}

bool WebServer::start(const ListenAddress& where, std::string* error)
{
    std::uintptr_t socket = 0;
    if (!openListenSocket(where.host, where.port, &socket, &impl_->port, error))
        return false;
    impl_->hosts = ownHosts(where, impl_->port);
    impl_->watch.start();
    impl_->daemon = MHD_start_daemon(
        // ITC: a connection's thread that ends wakes the listening thread to close its socket at
        // once (without it, only the next connection would).
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ITC, 0, nullptr,
        nullptr,
        Impl::onRequest, impl_.get(), MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(socket),
        MHD_OPTION_CONNECTION_LIMIT, connectionLimit(), MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMostPerClient,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_NOTIFY_CONNECTION, Impl::onConnection, impl_.get(), MHD_OPTION_END);
    if (!impl_->daemon) {
        impl_->watch.stop();
        closeSocket(socket);
        return (*error = "cannot serve on " + where.host + ":" + std::to_string(impl_->port), false);
    }
    return true;
}

int WebServer::port() const { return impl_->port; }

void WebServer::stop()
{
    for (LiveFeed* feed : impl_->feeds)
        feed->close();
    if (impl_->daemon)
        MHD_stop_daemon(impl_->daemon);
    impl_->daemon = nullptr;
    impl_->watch.stop();
}

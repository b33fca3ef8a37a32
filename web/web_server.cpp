// The program's HTTP server (see web_server.h).
#include "web/web_server.h"

// A pool thread per open page's feed, plus a few for files: three pages and their files at
// once leave threads to spare. Beyond kMostFeeds open feeds a page is told to come back later.
#define CPPHTTPLIB_THREAD_POOL_COUNT 16
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "web/access_token.h"
#include "web/embedded_files.h"
#include "web/listen_socket.h"
#include "web/live_feed.h"
#include "web/thread_name.h"

namespace {

constexpr int kMostFeeds = 12;
constexpr auto kKeepAlivePeriod = std::chrono::seconds(10);

// No inline script or style, no eval, nothing from another origin: a text that slipped into
// markup still could not run.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string lowerCase(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
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
        hosts.push_back(lowerCase(name));
        hosts.push_back(lowerCase(name) + ":" + std::to_string(port));
    }
    return hosts;
}

// The files the login page needs, which a browser without the token must be able to load.
bool openToAll(const std::string& path) { return path == "/login" || path == "/login.js" || path == "/page.css"; }

void sendFile(httplib::Response& res, const EmbeddedFile& file)
{
    res.set_content(reinterpret_cast<const char*>(file.data), file.size, file.contentType);
}

}  // namespace

struct WebServer::Impl {
    std::string token;
    httplib::Server server;
    std::thread thread;
    std::vector<LiveFeed*> feeds;
    std::atomic<int> openFeeds{0};
    int port = 0;
    std::vector<std::string> hosts;  // set before the server starts, read-only after

    bool authorized(const httplib::Request& req) const;
    httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res) const;
    void login(const httplib::Request& req, httplib::Response& res) const;
};

bool WebServer::Impl::authorized(const httplib::Request& req) const
{
    if (token.empty())
        return true;
    const std::string bearer = req.get_header_value("Authorization");
    if (bearer.rfind("Bearer ", 0) == 0 && sameToken(bearer.substr(7), token))
        return true;
    for (size_t i = 0; i < req.get_header_value_count("Cookie"); ++i)
        if (sameToken(cookieValue(req.get_header_value("Cookie", i), kTokenCookie), token))
            return true;
    return false;
}

// Runs before any route: the method, then the token.
httplib::Server::HandlerResponse WebServer::Impl::guard(const httplib::Request& req, httplib::Response& res) const
{
    if (req.method != "GET" && req.method != "HEAD") {
        res.status = 405;
        res.set_header("Allow", "GET, HEAD");
        res.set_content("These pages are read-only: GET only.\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (token.empty() &&
        std::find(hosts.begin(), hosts.end(), lowerCase(req.get_header_value("Host"))) == hosts.end()) {
        res.status = 403;
        res.set_content("This page is served to this machine only.\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (openToAll(req.path) || authorized(req))
        return httplib::Server::HandlerResponse::Unhandled;
    res.status = 401;
    res.set_header("WWW-Authenticate", "Bearer");
    if (const EmbeddedFile* page = embeddedFile("login.html"))
        sendFile(res, *page);
    return httplib::Server::HandlerResponse::Handled;
}

// The login page's script asks with the token in an Authorization header; the answer sets the
// cookie, which no script can read back.
void WebServer::Impl::login(const httplib::Request& req, httplib::Response& res) const
{
    if (!req.has_header("Authorization")) {
        if (const EmbeddedFile* page = embeddedFile("login.html"))
            sendFile(res, *page);
        return;
    }
    if (token.empty() || !authorized(req)) {
        res.status = 401;
        res.set_content("wrong token\n", "text/plain; charset=utf-8");
        return;
    }
    res.status = 204;
    res.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
}

WebServer::WebServer(std::string token) : impl_(std::make_unique<Impl>())
{
    impl_->token = std::move(token);
    httplib::Server& s = impl_->server;
    s.set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                           {"X-Content-Type-Options", "nosniff"},
                           {"Referrer-Policy", "no-referrer"},
                           {"Cache-Control", "no-store"}});
    s.set_socket_options([](auto sock) { setListenOptions(static_cast<std::uintptr_t>(sock)); });
    // A page loads its files at once; an idle connection kept longer only delays stop().
    s.set_keep_alive_timeout(1);
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return impl_->guard(req, res);
    });
    s.Get("/login", [this](const httplib::Request& req, httplib::Response& res) { impl_->login(req, res); });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            res.set_content(std::to_string(res.status) + "\n", "text/plain; charset=utf-8");
    });
    // Browsers ask for it unbidden; the pages have none.
    s.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    serveFile("/login.js", "login.js");
    serveFile("/page.css", "page.css");
}

WebServer::~WebServer() { stop(); }

void WebServer::serveFile(const std::string& path, const std::string& name)
{
    const EmbeddedFile* file = embeddedFile(name);
    if (!file)
        return;
    impl_->server.Get(path, [file](const httplib::Request&, httplib::Response& res) { sendFile(res, *file); });
}

void WebServer::serveFeed(const std::string& path, LiveFeed& feed)
{
    impl_->feeds.push_back(&feed);
    Impl* impl = impl_.get();
    impl->server.Get(path, [impl, &feed](const httplib::Request&, httplib::Response& res) {
        if (impl->openFeeds.fetch_add(1) >= kMostFeeds) {
            impl->openFeeds.fetch_sub(1);
            res.status = 503;
            res.set_header("Retry-After", "5");
            return;
        }
        std::shared_ptr<LiveFeed::Subscription> subscription = feed.subscribe();
        res.set_chunked_content_provider(
            "text/event-stream",
            [subscription](size_t, httplib::DataSink& sink) {
                std::string events;
                if (!subscription->next(kKeepAlivePeriod, &events))
                    return false;
                if (events.empty())
                    events = ": still here\n\n";  // keeps proxies and the browser from timing out
                return sink.write(events.data(), events.size());
            },
            [impl](bool) { impl->openFeeds.fetch_sub(1); });
    });
}

void WebServer::serveAnswer(const std::string& path, std::function<WebAnswer(const WebQuery&)> answer)
{
    impl_->server.Get(path, [answer = std::move(answer)](const httplib::Request& req, httplib::Response& res) {
        WebQuery query;
        for (const auto& [name, value] : req.params)
            query.emplace(name, value);
        const WebAnswer made = answer(query);
        res.status = made.status;
        if (!made.download.empty())
            res.set_header("Content-Disposition", "attachment; filename=\"" + made.download + "\"");
        res.set_content(made.body, made.contentType);
    });
}

bool WebServer::start(const ListenAddress& where, std::string* error)
{
    httplib::Server& s = impl_->server;
    const bool bound = where.port == 0 ? (impl_->port = s.bind_to_any_port(where.host)) > 0
                                       : s.bind_to_port(where.host, impl_->port = where.port);
    if (!bound)
        return (*error = "cannot listen on " + where.host + ":" + std::to_string(where.port) +
                         " (address not this machine's, or the port taken)",
                false);
    impl_->hosts = ownHosts(where, impl_->port);
    impl_->thread = std::thread([&s] {
        nameThisThread("tarvolo-web");  // before the pool starts: its threads take the name
        s.listen_after_bind();
    });
    return true;
}

int WebServer::port() const { return impl_->port; }

void WebServer::stop()
{
    for (LiveFeed* feed : impl_->feeds)
        feed->close();
    impl_->server.stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
}

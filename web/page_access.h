// Who may read a page served with a token. The token goes over the wire once, at /login (or
// on each request of a script, as Authorization: Bearer); a browser then holds a session: a
// random id of 256 bits, never the token, kept here in memory with its expiry and sent back as
// an HttpOnly, SameSite=Strict cookie; /logout ends it. A client address that brings a wrong
// token must wait before its next try, 1 s doubling with each wrong one up to 30 s, and is
// answered 429 until then without the token being looked at: no server thread waits out the
// delay. Owned by the page's server; its calls come from any of the server's threads, and
// time is passed in so that expiry and delays can be tried without waiting.
#ifndef TARVOLO_WEB_PAGE_ACCESS_H
#define TARVOLO_WEB_PAGE_ACCESS_H

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

constexpr const char* kSessionCookie = "tarvolo_session";

class PageAccess {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::hours kSessionLife{12};
    static constexpr std::chrono::seconds kLongestWait{30};

    // `token` empty: no token asked, every request admitted.
    explicit PageAccess(std::string token);

    enum class Verdict { admitted, refused, wait };
    struct Answer {
        Verdict verdict = Verdict::refused;
        int waitSeconds = 0;    // for `wait`: when the client may try again
        std::string sessionId;  // from login(): the new session
    };
    // A request of `client` (its address) with its Authorization header and Cookie headers.
    Answer check(const std::string& client, const std::string& authorization, const std::vector<std::string>& cookies,
                 Clock::time_point now);
    // The token in `authorization`, checked as check() does; when right, a new session.
    Answer login(const std::string& client, const std::string& authorization, Clock::time_point now);
    // Ends the session the cookies name, if any.
    void logout(const std::vector<std::string>& cookies);

    bool asksToken() const { return !token_.empty(); }

private:
    struct Strikes {
        int wrong = 0;
        Clock::time_point until;
    };
    Answer bearer(const std::string& client, const std::string& authorization, Clock::time_point now);
    bool liveSession(const std::vector<std::string>& cookies, Clock::time_point now);
    void strike(const std::string& client, Clock::time_point now);

    const std::string token_;
    std::mutex mutex_;
    std::map<std::string, Clock::time_point> sessions_;  // id -> expiry
    std::map<std::string, Strikes> strikes_;            // client address -> its wrong tokens
};

#endif

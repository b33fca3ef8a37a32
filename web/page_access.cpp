// Who may read a page (page_access.h).
#include "web/page_access.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstdio>

#include "record/sha256.h"
#include "web/access_token.h"

namespace {

// Bounds on what strangers can make this hold: sessions (a login each) and client addresses
// with wrong tokens. Past them the oldest go; a session lost so is one more login.
constexpr size_t kMostSessions = 256;
constexpr size_t kMostClients = 4096;

std::string randomSessionId()
{
    initialiseGcrypt();
    unsigned char bytes[32];
    gcry_randomize(bytes, sizeof bytes, GCRY_STRONG_RANDOM);
    std::string id;
    char hex[3];
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        id += hex;
    }
    return id;
}

template <typename Map, typename Key>
void dropOldest(Map& map, size_t most, Key key)
{
    while (map.size() >= most)
        map.erase(std::min_element(map.begin(), map.end(),
                                   [&](const auto& a, const auto& b) { return key(a.second) < key(b.second); }));
}

}  // namespace

PageAccess::PageAccess(std::string token) : token_(std::move(token)) {}

PageAccess::Answer PageAccess::check(const std::string& client, const std::string& authorization,
                                     const std::vector<std::string>& cookies, Clock::time_point now)
{
    if (token_.empty())
        return {Verdict::admitted, 0, {}};
    if (!authorization.empty())
        return bearer(client, authorization, now);
    std::lock_guard<std::mutex> lock(mutex_);
    return {liveSession(cookies, now) ? Verdict::admitted : Verdict::refused, 0, {}};
}

PageAccess::Answer PageAccess::login(const std::string& client, const std::string& authorization,
                                     Clock::time_point now)
{
    if (token_.empty())
        return {Verdict::refused, 0, {}};
    Answer answer = bearer(client, authorization, now);
    if (answer.verdict != Verdict::admitted)
        return answer;
    answer.sessionId = randomSessionId();
    std::lock_guard<std::mutex> lock(mutex_);
    dropOldest(sessions_, kMostSessions, [](Clock::time_point expiry) { return expiry; });
    sessions_[answer.sessionId] = now + kSessionLife;
    return answer;
}

void PageAccess::logout(const std::vector<std::string>& cookies)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& header : cookies)
        sessions_.erase(cookieValue(header, kSessionCookie));
}

// A token brought in an Authorization header: refused unheard while the client must wait.
PageAccess::Answer PageAccess::bearer(const std::string& client, const std::string& authorization,
                                      Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto strikes = strikes_.find(client);
    if (strikes != strikes_.end() && strikes->second.until > now) {
        const auto left = std::chrono::ceil<std::chrono::seconds>(strikes->second.until - now);
        return {Verdict::wait, static_cast<int>(left.count()), {}};
    }
    if (authorization.rfind("Bearer ", 0) == 0 && sameToken(authorization.substr(7), token_)) {
        if (strikes != strikes_.end())
            strikes_.erase(strikes);
        return {Verdict::admitted, 0, {}};
    }
    strike(client, now);
    return {Verdict::refused, 0, {}};
}

// Called with the lock held. Each id is compared whole, in the same time wherever it differs.
bool PageAccess::liveSession(const std::vector<std::string>& cookies, Clock::time_point now)
{
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it->second <= now ? sessions_.erase(it) : std::next(it);
    bool live = false;
    for (const std::string& header : cookies) {
        const std::string id = cookieValue(header, kSessionCookie);
        for (const auto& session : sessions_)
            live = sameToken(id, session.first) || live;
    }
    return live;
}

// Called with the lock held.
void PageAccess::strike(const std::string& client, Clock::time_point now)
{
    if (strikes_.find(client) == strikes_.end()) {
        for (auto it = strikes_.begin(); it != strikes_.end();)
            it = it->second.until + kLongestWait < now ? strikes_.erase(it) : std::next(it);
        dropOldest(strikes_, kMostClients, [](const Strikes& s) { return s.until; });
    }
    Strikes& s = strikes_[client];
    if (s.until + kLongestWait < now)
        s.wrong = 0;  // long enough since its last wrong token: starts again at 1 s
    s.wrong = std::min(s.wrong + 1, 16);
    s.until = now + std::min<std::chrono::seconds>(std::chrono::seconds(1LL << (s.wrong - 1)), kLongestWait);
}

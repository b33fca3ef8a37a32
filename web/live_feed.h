// A page's live state, for any number of browsers: one JSON snapshot that the owner keeps up
// to date with merge patches (RFC 7386) and appended items, each sent to every subscriber as
// one Server-Sent Event. The owner (the station's main thread) never waits for a browser: a
// subscriber's queue is bounded, and one that falls behind loses its queue and is sent a fresh
// snapshot instead. Subscribers are the web server's threads, one per open page.
#ifndef TARVOLO_WEB_LIVE_FEED_H
#define TARVOLO_WEB_LIVE_FEED_H

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>

class LiveFeed {
public:
    // `queueLimit`: messages a subscriber may lag behind; `itemLimit`: items the snapshot keeps.
    LiveFeed(size_t queueLimit, size_t itemLimit);

    // Owner's side. The patch is merged into the snapshot and sent as "patch"; an item is
    // appended to the snapshot's `items` (the oldest dropped past the limit) and sent as "item".
    void patch(const nlohmann::json& patch);
    void append(const nlohmann::json& item);
    // Wakes every subscriber for good (the server is stopping).
    void close();

    class Subscription;
    // A new page: its first message is the whole snapshot.
    std::unique_ptr<Subscription> subscribe();

private:
    struct Queue {
        std::deque<std::shared_ptr<const std::string>> messages;
        bool needsSnapshot = true;
    };
    void send(const std::shared_ptr<const std::string>& message);
    std::string snapshotMessage();
    void leave(std::list<Queue>::iterator queue);

    const size_t queueLimit_;
    const size_t itemLimit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    nlohmann::json state_ = nlohmann::json::object();
    std::deque<nlohmann::json> items_;
    std::list<Queue> queues_;
    bool closed_ = false;
};

class LiveFeed::Subscription {
public:
    Subscription(LiveFeed& feed, std::list<Queue>::iterator queue) : feed_(feed), queue_(queue) {}
    ~Subscription() { feed_.leave(queue_); }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    // Waits up to `timeout` for what this page has not yet been sent: Server-Sent Event text
    // ("event: ...\ndata: ...\n\n" each), empty when nothing came. False once the feed closed.
    bool next(std::chrono::milliseconds timeout, std::string* events);

private:
    LiveFeed& feed_;
    std::list<Queue>::iterator queue_;
};

#endif

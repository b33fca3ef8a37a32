// The page's live state (see live_feed.h).
#include "web/live_feed.h"

#include "output/json_line.h"

namespace {

std::shared_ptr<const std::string> eventText(const char* name, const nlohmann::json& data)
{
    // jsonLine never breaks a line, so one data: line carries the whole object.
    return std::make_shared<const std::string>(std::string("event: ") + name + "\ndata: " + jsonLine(data) +
                                               "\n\n");
}

}  // namespace

LiveFeed::LiveFeed(size_t queueLimit, size_t itemLimit) : queueLimit_(queueLimit), itemLimit_(itemLimit) {}

void LiveFeed::patch(const nlohmann::json& patch)
{
    auto message = eventText("patch", patch);
    std::lock_guard<std::mutex> lock(mutex_);
    state_.merge_patch(patch);
    send(message);
}

void LiveFeed::append(const nlohmann::json& item)
{
    auto message = eventText("item", item);
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(item);
    if (items_.size() > itemLimit_)
        items_.pop_front();
    send(message);
}

// Called with the lock held. A page that lags drops what it has queued: the snapshot it gets
// next holds all of it, and the owner's cost stays one push per page.
void LiveFeed::send(const std::shared_ptr<const std::string>& message)
{
    for (Queue& q : queues_) {
        if (q.needsSnapshot)
            continue;
        if (q.messages.size() >= queueLimit_) {
            q.messages.clear();
            q.needsSnapshot = true;
        } else {
            q.messages.push_back(message);
        }
    }
    changed_.notify_all();
}

void LiveFeed::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

std::unique_ptr<LiveFeed::Subscription> LiveFeed::subscribe()
{
    std::lock_guard<std::mutex> lock(mutex_);
    queues_.emplace_back();
    return std::make_unique<Subscription>(*this, std::prev(queues_.end()));
}

void LiveFeed::leave(std::list<Queue>::iterator queue)
{
    std::lock_guard<std::mutex> lock(mutex_);
    queues_.erase(queue);
}

// Called with the lock held.
std::string LiveFeed::snapshotMessage()
{
    nlohmann::json whole = state_;
    whole["items"] = nlohmann::json::array();
    for (const nlohmann::json& item : items_)
        whole["items"].push_back(item);
    return *eventText("snapshot", whole);
}

bool LiveFeed::Subscription::next(std::chrono::milliseconds timeout, std::string* events)
{
    events->clear();
    std::unique_lock<std::mutex> lock(feed_.mutex_);
    feed_.changed_.wait_for(lock, timeout, [this] {
        return feed_.closed_ || queue_->needsSnapshot || !queue_->messages.empty();
    });
    if (feed_.closed_)
        return false;
    if (queue_->needsSnapshot) {
        queue_->needsSnapshot = false;
        *events = feed_.snapshotMessage();
        return true;
    }
    for (const auto& message : queue_->messages)
        *events += *message;
    queue_->messages.clear();
    return true;
}

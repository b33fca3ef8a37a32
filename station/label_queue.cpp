// Which port each scanned label goes to (see label_queue.h).
#include "station/label_queue.h"

#include <algorithm>

#include "output/shown_text.h"

namespace {

// Longer than any IMEI or serial a scanner reads: a line this long is not one label.
constexpr size_t kLongestLabel = 128;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool control(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

bool cleanLabel(const std::string& line, std::string* label, std::string* reason)
{
    size_t from = 0, to = line.size();
    while (from < to && blank(line[from]))
        ++from;
    while (to > from && blank(line[to - 1]))
        --to;
    *label = line.substr(from, to - from);
    if (label->empty())
        *reason = "an empty label";
    else if (label->size() > kLongestLabel)
        *reason = "longer than " + std::to_string(kLongestLabel) + " bytes";
    else if (!validUtf8(*label))
        *reason = "not UTF-8 text";
    else if (std::any_of(label->begin(), label->end(), [](char c) { return control(static_cast<unsigned char>(c)); }))
        *reason = "it holds control characters";
    else
        return true;
    return false;
}

ScannedLabel LabelQueue::scan(const std::string& line, Clock::time_point now)
{
    ScannedLabel out;
    if (!cleanLabel(line, &out.label, &out.reason))
        return out;
    const bool waiting = std::any_of(labels_.begin(), labels_.end(),
                                     [&](const Waiting& w) { return w.label == out.label; });
    if (waiting) {
        out.reason = "scanned again while it waits for a handset";
        return out;
    }
    if (given_.count(out.label) && !allowRescan_) {
        out.reason = "already scanned in this run (--allow-rescan flashes a unit again)";
        return out;
    }
    if (!ports_.empty()) {
        const size_t port = ports_.front();
        ports_.pop_front();
        out.kind = ScannedLabel::Kind::Given;
        out.given = give(out.label, port);
        return out;
    }
    labels_.push_back({out.label, now + window_});
    out.kind = ScannedLabel::Kind::Waiting;
    return out;
}

GivenLabel LabelQueue::give(const std::string& label, size_t port)
{
    return {label, ++given_[label], port};
}

std::optional<GivenLabel> LabelQueue::handsetAppeared(size_t port)
{
    if (labels_.empty()) {
        if (std::find(ports_.begin(), ports_.end(), port) == ports_.end())
            ports_.push_back(port);
        return std::nullopt;
    }
    const std::string label = labels_.front().label;
    labels_.pop_front();
    return give(label, port);
}

void LabelQueue::portLeft(size_t port) { ports_.erase(std::remove(ports_.begin(), ports_.end(), port), ports_.end()); }

void LabelQueue::giveBack(const GivenLabel& given, Clock::time_point now)
{
    const auto it = given_.find(given.label);
    if (it != given_.end() && --it->second <= 0)
        given_.erase(it);
    labels_.push_front({given.label, now + window_});
}

std::vector<std::string> LabelQueue::expire(Clock::time_point now)
{
    std::vector<std::string> dropped;
    for (auto it = labels_.begin(); it != labels_.end();) {
        if (it->until > now) {
            ++it;
            continue;
        }
        dropped.push_back(it->label);
        it = labels_.erase(it);
    }
    return dropped;
}

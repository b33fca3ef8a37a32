// Unit labels scanned at a station (--scan): which port's handset each label belongs to. A
// label goes to the port that has waited longest for one (its handset answered with no label
// there); with none waiting it waits, up to the scan window, for the next handset that
// answers on an idle port. A label no handset claims within the window is dropped. A label
// already given to a unit in this run is refused, unless rescans are allowed: then the unit
// is recorded as that label's attempt 2, 3, ...
//
// Plain logic with the time passed in; the station owns one and acts on what it answers.
// Station's main thread.
#ifndef TARVOLO_STATION_LABEL_QUEUE_H
#define TARVOLO_STATION_LABEL_QUEUE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct GivenLabel {
    std::string label;
    int64_t attempt = 1;
    size_t port = 0;
};

struct ScannedLabel {
    enum class Kind { Refused, Given, Waiting };
    Kind kind = Kind::Refused;
    std::string label;    // as kept: trimmed (or the line as read, when refused)
    std::string reason;   // Refused: why
    GivenLabel given;     // Given: to which port
};

class LabelQueue {
public:
    using Clock = std::chrono::steady_clock;
    LabelQueue(std::chrono::milliseconds window, bool allowRescan) : window_(window), allowRescan_(allowRescan) {}

    // One line the scanner typed.
    ScannedLabel scan(const std::string& line, Clock::time_point now);
    // A handset answered on `port`: the oldest label waiting goes to it; with none, the port
    // waits for the next label scanned.
    std::optional<GivenLabel> handsetAppeared(size_t port);
    // The port no longer waits (its handset, port or worker went).
    void portLeft(size_t port);
    // A label given to a port whose unit never started goes back to the front of the queue.
    void giveBack(const GivenLabel& given, Clock::time_point now);
    // Labels no handset claimed within the window: dropped, oldest first.
    std::vector<std::string> expire(Clock::time_point now);

private:
    struct Waiting {
        std::string label;
        Clock::time_point until;
    };
    GivenLabel give(const std::string& label, size_t port);

    std::chrono::milliseconds window_;
    bool allowRescan_;
    std::deque<Waiting> labels_;
    std::deque<size_t> ports_;              // ports waiting for a label, longest first
    std::map<std::string, int64_t> given_;  // labels given to units, and how many times
};

// The label in a scanned line: surrounding white space (the scanner's CR) trimmed. False with
// a reason for an empty line, bytes that are not UTF-8, control characters, or an overlong one.
bool cleanLabel(const std::string& line, std::string* label, std::string* reason);

#endif

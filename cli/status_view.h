// How `tarvolo download` shows what the engine says.
//
// The engine's outputs arrive on the reader thread or the main thread (EngineQueue::frontEnd);
// they are queued and the main thread renders them: on a terminal as two live status lines and
// a progress bar, otherwise as plain lines, or as one JSON object per line (--json), each
// carrying the phase the download was in when it happened. The engine's texts carry bytes of
// the handset and the release file; they are shown by the rule of output/shown_text.h.
#ifndef TARVOLO_CLI_STATUS_VIEW_H
#define TARVOLO_CLI_STATUS_VIEW_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "engine/front_end.h"
#include "engine/phase.h"
#include "output/terminal_view.h"

struct EngineEvent {
    enum Kind { Text, Fine, Overall, Continue, Result, PhaseChange } kind;
    int32_t control;
    std::string text;
    int32_t value;
};

// The queue between the engine's outputs and the thread that renders them: one per download,
// owned by its session. Pushed from either engine thread, taken by the main thread.
class EngineQueue {
public:
    // `notePhase`, when given, is called at the moment of each phase change, under the engine
    // lock (see FrontEnd::phaseChanged): it must only record and return.
    explicit EngineQueue(std::function<void(Phase)> notePhase = nullptr);
    EngineQueue(const EngineQueue&) = delete;
    EngineQueue& operator=(const EngineQueue&) = delete;

    // The front end whose outputs go into this queue (its context is this queue).
    FrontEnd frontEnd();
    // Waits up to `timeout` for events and returns those queued (possibly none).
    std::vector<EngineEvent> take(std::chrono::milliseconds timeout);
    void push(EngineEvent event);
    void phaseChanged(int32_t phase);

private:
    std::function<void(Phase)> notePhase_;
    std::mutex mutex_;
    std::condition_variable signal_;
    std::deque<EngineEvent> events_;
};

enum class ViewMode { Terminal, Plain, Json };

struct ProgressFacts {
    int32_t blockNumber;   // blocks handled
    int32_t totalBlocks;   // blocks shown to the operator
    int32_t blockSize;
    uint64_t bytesSent;    // on the line so far
};

class StatusView {
public:
    // `columns`: the terminal's width, to which the live lines are cut.
    StatusView(ViewMode mode, int columns);
    void show(const EngineEvent& event);
    // Redraws the progress bar (terminal mode only), at most a few times a second.
    void refresh(const ProgressFacts& facts);
    // A closing line of our own (not an engine text).
    void finish(const std::string& summary, int exitCode);
    // A note of our own while the download runs ("Press Enter ...").
    void note(const std::string& text);
    // A fact of our own with its figures: `text` as a line (none when empty), or with --json
    // `fields` (which name their "event") as one object.
    void report(const std::string& text, nlohmann::json fields);

private:
    void redraw();
    void printJson(nlohmann::json line);
    ViewMode mode_;
    Phase phase_ = Phase::Ended;
    std::string phaseText_, advice_, bar_;
    LiveBlock live_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// An engine text without its leading and trailing line breaks, lines joined by '\n'.
std::string cleanStatusText(const std::string& text);

#endif

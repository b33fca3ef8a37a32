// Rendering the engine's outputs (see status_view.h).
#include "cli/status_view.h"

#include <cstdio>

#include "output/json_line.h"
#include "output/shown_text.h"

namespace {

EngineQueue& queueOf(void* context) { return *static_cast<EngineQueue*>(context); }

void onText(void* q, int32_t control, const char* text)
{
    queueOf(q).push({EngineEvent::Text, control, text, 0});
}
void onFine(void* q, int32_t v) { queueOf(q).push({EngineEvent::Fine, 0, {}, v}); }
void onOverall(void* q, int32_t v) { queueOf(q).push({EngineEvent::Overall, 0, {}, v}); }
void onContinue(void* q, int32_t v) { queueOf(q).push({EngineEvent::Continue, 0, {}, v}); }
void onResult(void* q, int32_t v) { queueOf(q).push({EngineEvent::Result, 0, {}, v}); }
void onPhase(void* q, int32_t v) { queueOf(q).phaseChanged(v); }

const char* lineName(int32_t control) { return control == kAdviceLine ? "advice" : "phase"; }

std::string indentLines(const std::string& text, const std::string& prefix, const std::string& indent)
{
    std::string out = prefix;
    for (char c : text) {
        out += c;
        if (c == '\n')
            out += indent;
    }
    return out;
}

}  // namespace

EngineQueue::EngineQueue(std::function<void(Phase)> notePhase) : notePhase_(std::move(notePhase)) {}

FrontEnd EngineQueue::frontEnd()
{
    return {this, onText, onFine, onOverall, onContinue, onResult, onPhase};
}

void EngineQueue::push(EngineEvent event)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(std::move(event));
    }
    signal_.notify_one();
}

void EngineQueue::phaseChanged(int32_t phase)
{
    if (notePhase_)
        notePhase_(static_cast<Phase>(phase));
    push({EngineEvent::PhaseChange, 0, {}, phase});
}

std::vector<EngineEvent> EngineQueue::take(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    signal_.wait_for(lock, timeout, [this] { return !events_.empty(); });
    std::vector<EngineEvent> events(events_.begin(), events_.end());
    events_.clear();
    return events;
}

std::string cleanStatusText(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r')
            continue;
        out += text[i];
    }
    const size_t first = out.find_first_not_of('\n');
    if (first == std::string::npos)
        return {};
    const size_t last = out.find_last_not_of('\n');
    return out.substr(first, last - first + 1);
}

StatusView::StatusView(ViewMode mode, int columns)
    : mode_(mode), live_(columns), started_(std::chrono::steady_clock::now()), lastDraw_(started_)
{
}

void StatusView::printJson(nlohmann::json line)
{
    line["phase"] = phaseName(phase_);
    writeJsonLine(stdout, line);
}

void StatusView::show(const EngineEvent& event)
{
    if (event.kind == EngineEvent::PhaseChange) {
        if (static_cast<Phase>(event.value) == phase_)
            return;
        phase_ = static_cast<Phase>(event.value);
        if (mode_ == ViewMode::Json)
            printJson({{"event", "phase"}});
        return;
    }
    if (mode_ == ViewMode::Json) {
        nlohmann::json line;
        switch (event.kind) {
        case EngineEvent::Text:
            line = {{"event", "status"}, {"line", lineName(event.control)}, {"text", shownText(event.text)}};
            break;
        case EngineEvent::Fine:
            line = {{"event", "progress"}, {"bar", "fine"}, {"position", event.value}};
            break;
        case EngineEvent::Overall:
            line = {{"event", "progress"}, {"bar", "overall"}, {"position", event.value}};
            break;
        case EngineEvent::Continue:
            line = {{"event", "continue"}, {"enabled", event.value != 0}};
            break;
        case EngineEvent::Result:
            line = {{"event", "result"}, {"result", event.value}};
            break;
        case EngineEvent::PhaseChange:
            break;
        }
        printJson(std::move(line));
        return;
    }

    switch (event.kind) {
    case EngineEvent::Text: {
        std::string& target = event.control == kAdviceLine ? advice_ : phaseText_;
        const std::string text = cleanStatusText(shownText(event.text));
        if (text == target)
            return;
        target = text;
        if (mode_ == ViewMode::Plain && !text.empty()) {
            const std::string prefix = event.control == kAdviceLine ? "advice: " : "phase:  ";
            std::printf("%s\n", terminalSafe(indentLines(text, prefix, "        "), true).c_str());
            std::fflush(stdout);
        }
        break;
    }
    case EngineEvent::Fine:
    case EngineEvent::Overall:
    case EngineEvent::Continue:
    case EngineEvent::Result:
    case EngineEvent::PhaseChange:
        break;
    }
    if (mode_ == ViewMode::Terminal)
        redraw();
}

void StatusView::refresh(const ProgressFacts& facts)
{
    if (mode_ != ViewMode::Terminal)
        return;
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - started_).count();
    const double percent = facts.totalBlocks > 0
                               ? 100.0 * facts.blockNumber / facts.totalBlocks
                               : 0.0;
    const double rate = elapsed > 0 ? facts.bytesSent / elapsed : 0.0;
    const double left = percent > 0 ? elapsed * (100.0 - percent) / percent : -1;

    char text[160];
    std::snprintf(text, sizeof text, " block %d/%d  %5.1f%%  %s  %s left", facts.blockNumber,
                  facts.totalBlocks, percent, formatRate(rate).c_str(), formatDuration(left).c_str());
    const std::string bar = progressBar(facts.blockNumber, facts.totalBlocks, 30) + text;
    if (bar == bar_ && now - lastDraw_ < std::chrono::seconds(1))
        return;
    bar_ = bar;
    redraw();
}

void StatusView::redraw()
{
    if (mode_ != ViewMode::Terminal)
        return;
    live_.draw({indentLines(phaseText_, "  ", "  "), indentLines(advice_, "  ", "  "), bar_});
    lastDraw_ = std::chrono::steady_clock::now();
}

void StatusView::note(const std::string& text)
{
    if (mode_ == ViewMode::Json)
        printJson({{"event", "note"}, {"text", text}});
    else
        live_.printAbove(text);  // kept above the next redraw
}

void StatusView::report(const std::string& text, nlohmann::json fields)
{
    if (mode_ == ViewMode::Json) {
        fields["text"] = text;
        printJson(std::move(fields));
    } else if (!text.empty()) {
        note(text);
    }
}

void StatusView::finish(const std::string& summary, int exitCode)
{
    if (mode_ == ViewMode::Json)
        printJson({{"event", "exit"}, {"code", exitCode}, {"summary", summary}});
    else
        live_.printAbove(summary);
}

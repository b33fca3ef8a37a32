// One command-line download (see download_session.h), run through the download session.
//
// Threads: the reader thread runs the engine's handlers; this (main) thread ticks every
// 500 ms, presses Continue, watches for interrupts and renders the engine's outputs, which
// arrive through the session's own EngineQueue.
#include "cli/download_session.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/console.h"
#include "capture/capture_recorder.h"
#include "capture/capture_tap.h"
#include "cli/line_trace.h"
#include "output/shown_text.h"
#include "session/session.h"
#include "transport/port_open.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTickPeriod = std::chrono::milliseconds(500);

// Enter on standard input, for gang mode without --continue, and whether the input has ended
// (a scheduler's empty input: no operator will ever press Enter). Shared with the reading
// thread, which is detached: it may stay blocked in a read until the process ends.
struct OperatorInput {
    std::atomic<bool> pressed{false};
    std::atomic<bool> ended{false};
};

void listenForEnter(std::shared_ptr<OperatorInput> input)
{
    std::thread([input] {
        std::string line;
        while (std::getline(std::cin, line))
            input->pressed.store(true);
        input->ended.store(true);
    }).detach();
}

struct Outcome {
    bool done = false;
    int exitCode = 0;
    std::string summary;
};

class Session {
public:
    explicit Session(const DownloadPlan& plan)
        : plan_(plan), view_(plan.view, terminalColumns()), download_(&frontEnd_)
    {
    }

    int run();

private:
    bool openEverything(Outcome* outcome);
    void handle(const EngineEvent& event, Outcome* outcome);
    void warnOfUnsentBytes(const EngineEvent& event);
    void reportAbortReason();
    void watch(Outcome* outcome);
    void stopWith(Outcome* outcome, int exitCode, const std::string& summary);

    const DownloadPlan& plan_;
    StatusView view_;
    LineTrace trace_;
    // The capture watches the calls the engine makes, above the text trace; it streams to its
    // file, so memory stays bounded whatever the download's length.
    std::unique_ptr<CaptureRecorder> capture_;
    std::unique_ptr<CaptureTap> tap_;
    // Each phase change is also noted in the trace and the capture at the moment it happens
    // (under the engine lock: the notes only take the trace's and the capture's own locks).
    EngineQueue queue_{[this](Phase phase) {
        const std::string note = std::string("phase: ") + phaseName(phase);
        trace_.note(note.c_str());
        if (capture_)
            capture_->note(note);
    }};
    FrontEnd frontEnd_ = queue_.frontEnd();
    DownloadSession download_;
    bool continueEnabled_ = false;
    bool handsetSeen_ = false;
    bool unsentChecked_ = false;
    std::shared_ptr<OperatorInput> input_ = std::make_shared<OperatorInput>();
    Clock::time_point started_;
};

bool Session::openEverything(Outcome* outcome)
{
    if (!download_.openRelease(plan_.releasePath)) {
        outcome->exitCode = kResultFileNotOpened;
        outcome->summary = "cannot open the release file " + plan_.releasePath;
        return false;
    }
    std::string error;
    SerialPort* port = openSerialPort(plan_.port.c_str(), &error);
    if (!port) {
        outcome->exitCode = kExitPortNotOpened;
        outcome->summary = "cannot open the port " + plan_.port + ": " + error;
        return false;
    }
    if (!trace_.start(platformPortOps(), port, plan_.tracePath, &error)) {
        platformPortOps()->close(port);
        outcome->exitCode = kExitUsage;
        outcome->summary = error;
        return false;
    }
    const std::string latencyNote = portLatencyNote(port);
    if (!latencyNote.empty())
        trace_.note(latencyNote.c_str());
    if (!plan_.capturePath.empty()) {
        capture_ = std::make_unique<CaptureRecorder>(SIZE_MAX);
        if (!capture_->streamTo(plan_.capturePath, &error)) {
            trace_.stop();
            platformPortOps()->close(port);
            outcome->exitCode = kExitUsage;
            outcome->summary = error;
            return false;
        }
    }
    if (capture_ && !latencyNote.empty())
        capture_->note(latencyNote);
    tap_ = std::make_unique<CaptureTap>(trace_.line(), capture_.get());
    const DownloadChoice choice{plan_.speed, plan_.mode, plan_.gang};
    if (!download_.start(tap_->line(), choice)) {
        outcome->exitCode = kExitPortNotOpened;
        outcome->summary = "cannot start the reader thread";
        return false;
    }
    return true;
}

// Before the first byte of the image goes, once the handset's block size is known.
void Session::warnOfUnsentBytes(const EngineEvent& event)
{
    const Phase phase = static_cast<Phase>(event.value);
    if (event.kind != EngineEvent::PhaseChange || unsentChecked_ ||
        (phase != Phase::Erasing && phase != Phase::Writing))
        return;
    unsentChecked_ = true;
    const DownloadFacts facts = download_.facts();
    const int32_t blockSize = download_.progress().blockSize;
    if (facts.unsentBytes > 0)
        view_.report(unsentWarning(facts.unsentBytes, blockSize),
                     {{"event", "unsent"}, {"unsent_bytes", facts.unsentBytes},
                      {"block_size", blockSize}});
}

// Result 4 says only that the handset gave up; why the abort was started matters more.
void Session::reportAbortReason()
{
    const int32_t reason = download_.facts().abortReason;
    if (reason < 0)
        return;
    view_.report("Abort started because: " + std::string(resultMeaning(reason)) + " (result " +
                     std::to_string(reason) + ")",
                 {{"event", "abort_reason"}, {"reason", reason}, {"meaning", resultMeaning(reason)}});
}

void Session::handle(const EngineEvent& event, Outcome* outcome)
{
    view_.show(event);
    warnOfUnsentBytes(event);
    if (event.kind == EngineEvent::Continue) {
        continueEnabled_ = event.value != 0;
        if (continueEnabled_ && !plan_.autoContinue)
            view_.note("Press Enter to continue once all mobiles are connected, or Ctrl-C to abort.");
    }
    if (event.kind == EngineEvent::Result && !outcome->done) {
        outcome->done = true;
        outcome->exitCode = event.value;
        char summary[160];
        if (event.value == kResultCompleted)
            std::snprintf(summary, sizeof summary, "Download completed successfully. Checksum %04X",
                          static_cast<unsigned>(download_.imageChecksum()));
        else
            std::snprintf(summary, sizeof summary, "Download ended: %s (result %d)",
                          resultMeaning(event.value), event.value);
        outcome->summary = summary;
    }
}

// Ends the download where it stands: nothing more is sent.
void Session::stopWith(Outcome* outcome, int exitCode, const std::string& summary)
{
    download_.abort();
    outcome->done = true;
    outcome->exitCode = exitCode;
    outcome->summary = summary;
}

void Session::watch(Outcome* outcome)
{
    if (interrupted()) {
        trace_.note("interrupted");
        if (capture_)
            capture_->note("interrupted");
        stopWith(outcome, kExitInterrupted,
                 "Interrupted: download abandoned, nothing more was sent to the handset");
        return;
    }
    if (download_.portLost()) {
        trace_.note("port lost");
        if (capture_)
            capture_->note("port lost");
        stopWith(outcome, kExitPortLost,
                 "The port " + plan_.port + " went away (adapter unplugged?): download abandoned");
        return;
    }
    if (!handsetSeen_ && download_.phase() != Phase::Waiting)
        handsetSeen_ = true;
    if (!handsetSeen_ && plan_.giveUpSeconds > 0 &&
        Clock::now() - started_ >= std::chrono::seconds(plan_.giveUpSeconds)) {
        stopWith(outcome, kExitGaveUp,
                 "No handset answered within " + std::to_string(plan_.giveUpSeconds) + " s");
        return;
    }
    if (continueEnabled_ && (plan_.autoContinue || input_->pressed.exchange(false))) {
        continueEnabled_ = false;
        download_.pressContinue();
    } else if (continueEnabled_ && input_->ended.load()) {
        stopWith(outcome, kExitUsage,
                 "Standard input has ended: nobody can press Enter to continue the gang download "
                 "(use --continue to go on as soon as CH1 answers); nothing was written");
    }
}

int Session::run()
{
    Outcome outcome;
    if (!openEverything(&outcome)) {
        download_.end();
        trace_.stop();
        capture_.reset();  // removes its temporary file
        queue_.take(std::chrono::milliseconds(0));
        std::fprintf(stderr, "tarvolo: %s\n", terminalSafe(outcome.summary).c_str());
        return outcome.exitCode;
    }
    if (plan_.gang && !plan_.autoContinue)
        listenForEnter(input_);

    started_ = Clock::now();
    auto nextTick = Clock::now() + kTickPeriod;
    while (!outcome.done) {
        for (const EngineEvent& event : queue_.take(std::chrono::milliseconds(20)))
            handle(event, &outcome);
        if (outcome.done)
            break;
        watch(&outcome);
        if (Clock::now() >= nextTick) {
            download_.tick();
            nextTick += kTickPeriod;
        }
        const DownloadProgress p = download_.progress();
        view_.refresh({p.blockNumber, p.totalBlocks, p.blockSize, p.bytesOnLine});
    }

    download_.end();
    const bool traceWhole = trace_.stop();
    for (const EngineEvent& event : queue_.take(std::chrono::milliseconds(0)))
        view_.show(event);
    if (outcome.exitCode == kResultHandsetAborted)
        reportAbortReason();
    std::string captureError;
    if (capture_ && !capture_->finish(&captureError))
        view_.report("Warning: " + captureError + "; no capture was kept",
                     {{"event", "capture_failed"}, {"capture", plan_.capturePath}});
    if (!traceWhole)
        view_.report("Warning: the trace file " + plan_.tracePath + " is incomplete: not all of it "
                     "could be written (is the disk full?)",
                     {{"event", "trace_incomplete"}, {"trace", plan_.tracePath}});
    view_.finish(outcome.summary, outcome.exitCode);
    return outcome.exitCode;
}

}  // namespace

int runDownload(const DownloadPlan& plan)
{
    // Runs in the signal handler: from the signal on, the engine's handlers can neither send
    // nor arm, and its waits end; the session loop then ends the download and closes the rest.
    catchInterrupts([] { DownloadSession::haltNow(); });
    Session session(plan);
    return session.run();
}

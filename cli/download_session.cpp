// One command-line download (see download_session.h).
//
// Threads: the reader thread runs onTxEmpty/onRxComplete; this (main) thread runs onTick every
// 500 ms, presses Continue, watches for interrupts and renders the engine's outputs. Nothing
// here holds the engine lock except for short reads of engine state.
#include "cli/download_session.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/line_trace.h"
#include "engine/checksum.h"
#include "engine/engine_kit.h"
#include "engine/phases.h"
#include "engine/release_file.h"
#include "transport/frame_io.h"
#include "transport/line_speed.h"
#include "transport/port_open.h"
#include "transport/reader.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTickPeriod = std::chrono::milliseconds(500);

// Enter on standard input, for gang mode without --continue. The reading thread is detached:
// it may stay blocked in a read until the process ends.
std::atomic<bool> enterPressed{false};

void listenForEnter()
{
    std::thread([] {
        std::string line;
        while (std::getline(std::cin, line))
            enterPressed.store(true);
    }).detach();
}

bool waitingForHandset()
{
    EngineLock lock;
    return handlerSlots.onRxComplete == &inquiryResponse;
}

ProgressFacts progressFacts()
{
    EngineLock lock;
    return ProgressFacts{engine.blockNumber, engine.totalBlocks, engine.blockSize, bytesSentOnLine()};
}

unsigned checksumNow()
{
    EngineLock lock;
    return imageChecksum();
}

const char* resultMeaning(int result)
{
    switch (result) {
    case kResultCompleted: return "download completed";
    case kResultFileNotOpened: return "the release file could not be opened";
    case kResultProductMismatch: return "product identifier mismatch, or the handset needs erase-and-download mode";
    case kResultHandsetAborted: return "the handset acknowledged the abort";
    case kResultBlockSizeTooLarge: return "the handset's block size is too large";
    case kResultChecksumFailed: return "the handset refused the completion, or the checksums differ";
    case kResultIncompatibleCode: return "the handset's download code is incompatible";
    default: return "unknown result";
    }
}

// Stops the line and leaves nothing open: the reader thread closes the port when it ends.
void endLine()
{
    stopReader();
    joinReader();
    EngineLock lock;
    closeReleaseFile();
    releaseBlockBuffers();
    clearHandlerSlots();
}

struct Outcome {
    bool done = false;
    int exitCode = 0;
    std::string summary;
};

class Session {
public:
    explicit Session(const DownloadPlan& plan) : plan_(plan), view_(plan.view) {}

    int run();

private:
    bool openEverything(Outcome* outcome);
    void handle(const EngineEvent& event, Outcome* outcome);
    void watch(Outcome* outcome);

    const DownloadPlan& plan_;
    StatusView view_;
    bool continueEnabled_ = false;
    bool handsetSeen_ = false;
    Clock::time_point started_;
};

bool Session::openEverything(Outcome* outcome)
{
    setFrontEnd(queueingFrontEnd());
    {
        EngineLock lock;
        if (!openReleaseFile(plan_.releasePath.c_str())) {
            outcome->exitCode = kResultFileNotOpened;
            outcome->summary = "cannot open the release file " + plan_.releasePath;
            return false;
        }
    }
    std::string error;
    SerialPort* port = openSerialPort(plan_.port.c_str(), &error);
    if (!port) {
        EngineLock lock;
        closeReleaseFile();
        outcome->exitCode = kExitPortNotOpened;
        outcome->summary = "cannot open the port " + plan_.port + ": " + error;
        return false;
    }
    if (!startLineWatch(platformPortOps(), plan_.tracePath, &error)) {
        platformPortOps()->close(port);
        EngineLock lock;
        closeReleaseFile();
        outcome->exitCode = kExitUsage;
        outcome->summary = error;
        return false;
    }
    if (!startReader(watchedOps(), port)) {
        endLine();
        outcome->exitCode = kExitPortNotOpened;
        outcome->summary = "cannot start the reader thread";
        return false;
    }
    return true;
}

void Session::handle(const EngineEvent& event, Outcome* outcome)
{
    view_.show(event);
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
                          static_cast<unsigned>(checksumNow()));
        else
            std::snprintf(summary, sizeof summary, "Download ended: %s (result %d)",
                          resultMeaning(event.value), event.value);
        outcome->summary = summary;
    }
}

void Session::watch(Outcome* outcome)
{
    if (interrupted()) {
        outcome->done = true;
        outcome->exitCode = kExitInterrupted;
        outcome->summary = "Interrupted: download abandoned, nothing more was sent to the handset";
        return;
    }
    if (readerLostPort()) {
        outcome->done = true;
        outcome->exitCode = kExitPortLost;
        outcome->summary = "The port " + plan_.port + " went away (adapter unplugged?): download abandoned";
        return;
    }
    if (!handsetSeen_ && !waitingForHandset())
        handsetSeen_ = true;
    if (!handsetSeen_ && plan_.giveUpSeconds > 0 &&
        Clock::now() - started_ >= std::chrono::seconds(plan_.giveUpSeconds)) {
        outcome->done = true;
        outcome->exitCode = kExitGaveUp;
        outcome->summary = "No handset answered within " + std::to_string(plan_.giveUpSeconds) + " s";
        return;
    }
    if (continueEnabled_ && (plan_.autoContinue || enterPressed.exchange(false))) {
        continueEnabled_ = false;
        pressContinue();
    }
}

int Session::run()
{
    Outcome outcome;
    if (!openEverything(&outcome)) {
        std::fprintf(stderr, "tarvolo: %s\n", outcome.summary.c_str());
        setFrontEnd(nullptr);
        return outcome.exitCode;
    }
    if (plan_.gang && !plan_.autoContinue)
        listenForEnter();

    initEngine(plan_.mode, kInitialSpeed, static_cast<int32_t>(isAllowedSpeed(plan_.speed)),
               plan_.gang ? 1 : 0);
    started_ = Clock::now();
    beginDownload();

    auto nextTick = Clock::now() + kTickPeriod;
    while (!outcome.done) {
        for (const EngineEvent& event : takeEngineEvents(std::chrono::milliseconds(20)))
            handle(event, &outcome);
        if (outcome.done)
            break;
        watch(&outcome);
        if (Clock::now() >= nextTick) {
            runTick();
            nextTick += kTickPeriod;
        }
        view_.refresh(progressFacts());
    }

    endLine();
    stopLineWatch();
    for (const EngineEvent& event : takeEngineEvents(std::chrono::milliseconds(0)))
        view_.show(event);
    setFrontEnd(nullptr);
    view_.finish(outcome.summary, outcome.exitCode);
    return outcome.exitCode;
}

}  // namespace

int runDownload(const DownloadPlan& plan)
{
    catchInterrupts();
    Session session(plan);
    return session.run();
}

// The download session (see session.h): the sequence every front end runs, in one place.
#include "session/session.h"

#include <cstring>

#include "engine/checksum.h"
#include "engine/engine_kit.h"
#include "engine/engine_state.h"
#include "engine/handlers.h"
#include "engine/release_file.h"
#include "transport/frame_io.h"
#include "transport/line_speed.h"
#include "transport/reader.h"

namespace {

const DownloadSession* relayOwner(void* context) { return static_cast<DownloadSession*>(context); }

}  // namespace

// The engine's outputs pass through the session, which keeps the result, on their way to
// the front end.
DownloadSession::DownloadSession(const FrontEnd* frontEnd)
    : outer_(frontEnd),
      relay_{this, onText, onFine, onOverall, onContinue, onResult, onPhase},
      engine_(std::make_unique<Engine>())
{
    EngineLock lock(*engine_);
    setFrontEnd(*engine_, &relay_);
}

DownloadSession::~DownloadSession() { end(); }

bool DownloadSession::openRelease(const std::string& path)
{
    Engine& engine = *engine_;
    EngineLock lock(engine);
    if (openReleaseFile(engine, path.c_str()))
        return true;
    // The download cannot start: it ends as any download does, with its result.
    postResult(engine, kResultFileNotOpened);
    return false;
}

bool DownloadSession::start(const DownloadLine& line, const DownloadChoice& choice)
{
    Engine& engine = *engine_;
    const bool reading = engine.reader.start(line.ops, line.port);
    {
        EngineLock lock(engine);
        initEngine(engine, choice.mode, kInitialSpeed,
                   static_cast<int32_t>(isAllowedSpeed(choice.speed)), choice.gang ? 1 : 0);
    }
    beginDownload(engine);
    return reading;
}

void DownloadSession::tick() { runTick(*engine_); }

void DownloadSession::pressContinue() { ::pressContinue(*engine_); }

void DownloadSession::abort()
{
    Engine& engine = *engine_;
    // The line stops first: whatever a handler is doing, it can send nothing more.
    engine.io.setRunning(false);
    {
        EngineLock lock(engine);
        freezeSlots(engine);
        if (engine.phase != Phase::Ended)
            enterPhase(engine, Phase::Ended);
    }
    engine.reader.stop();
}

void DownloadSession::end()
{
    if (ended_)
        return;
    ended_ = true;
    abort();
    Engine& engine = *engine_;
    engine.reader.join();
    EngineLock lock(engine);
    closeReleaseFile(engine);
    releaseBlockBuffers(engine);
    clearHandlerSlots(engine);
    setFrontEnd(engine, nullptr);
}

Phase DownloadSession::phase() const
{
    EngineLock lock(*engine_);
    return engine_->phase;
}

DownloadProgress DownloadSession::progress() const
{
    const Engine& engine = *engine_;
    EngineLock lock(*engine_);
    return {engine.blockNumber, engine.totalBlocks, engine.blockSize, engine.io.bytesWritten()};
}

uint16_t DownloadSession::imageChecksum() const
{
    EngineLock lock(*engine_);
    return ::imageChecksum(*engine_);
}

DownloadFacts DownloadSession::facts() const
{
    const Engine& engine = *engine_;
    EngineLock lock(*engine_);
    DownloadFacts f{};
    f.recordReceived = engine.recordReceived;
    std::memcpy(f.record, engine.parameterRecord, sizeof f.record);
    std::memcpy(f.retries, engine.phaseRetries, sizeof f.retries);
    f.sentChecksum = engine.sentChecksum;
    f.reportedChecksum = engine.reportedChecksum;
    f.abortReason = engine.abortResult;
    f.unsentBytes = engine.unsentBytes;
    return f;
}

bool DownloadSession::portLost() const { return engine_->reader.lostPort(); }

void DownloadSession::haltNow() { FrameIo::haltAll(); }

void DownloadSession::onText(void* context, int32_t control, const char* text)
{
    const FrontEnd* fe = relayOwner(context)->outer_;
    if (fe && fe->setLineText)
        fe->setLineText(fe->context, control, text);
}

void DownloadSession::onFine(void* context, int32_t position)
{
    const FrontEnd* fe = relayOwner(context)->outer_;
    if (fe && fe->setFineProgress)
        fe->setFineProgress(fe->context, position);
}

void DownloadSession::onOverall(void* context, int32_t position)
{
    const FrontEnd* fe = relayOwner(context)->outer_;
    if (fe && fe->setOverallProgress)
        fe->setOverallProgress(fe->context, position);
}

void DownloadSession::onContinue(void* context, int32_t enable)
{
    const FrontEnd* fe = relayOwner(context)->outer_;
    if (fe && fe->enableContinue)
        fe->enableContinue(fe->context, enable);
}

void DownloadSession::onResult(void* context, int32_t result)
{
    auto* session = static_cast<DownloadSession*>(context);
    // Kept before the front end hears of it: a front end that asks at once finds it.
    int32_t none = -1;
    session->result_.compare_exchange_strong(none, result);
    const FrontEnd* fe = session->outer_;
    if (fe && fe->postResult)
        fe->postResult(fe->context, result);
}

void DownloadSession::onPhase(void* context, int32_t phase)
{
    const FrontEnd* fe = relayOwner(context)->outer_;
    if (fe && fe->phaseChanged)
        fe->phaseChanged(fe->context, phase);
}

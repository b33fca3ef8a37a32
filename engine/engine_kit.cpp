// The engine kit (see engine_kit.h): recogniser, outputs, initialisation.
#include "engine/engine_kit.h"

#include <cstdarg>
#include <cstdio>

#include "engine/checksum.h"
#include "engine/handset_answer.h"
#include "engine/release_file.h"
#include "transport/frame_io.h"

namespace {

// Every output goes to the front end with the engine lock released: the front end may wait
// for its own thread, and that thread may be waiting for the lock.
template <typename Call>
void toFrontEnd(Engine& engine, Call call)
{
    const FrontEnd* fe = engine.frontEnd;
    if (!fe)
        return;
    EngineUnlock unlock(engine);
    call(*fe);
}

void setLine(Engine& engine, int32_t control, const char* text)
{
    toFrontEnd(engine, [&](const FrontEnd& fe) {
        if (fe.setLineText)
            fe.setLineText(fe.context, control, text);
    });
}

void selectLine(Engine& engine, int32_t control)
{
    engine.selectedLines.select(control);
    setLine(engine, control, "\r\n");
}

}  // namespace

void setFrontEnd(Engine& engine, const FrontEnd* fe) { engine.frontEnd = fe; }

uint8_t recogniseResponse(Engine& engine)
{
    const uint8_t letter = recogniseStep(&engine.previousByte, engine.responseCell);
    if (letter == wire::kNoResponse)
        engine.io.armReceive(&engine.responseCell, 1);
    return letter;
}

void clearAndSelectPhaseLine(Engine& engine) { selectLine(engine, kPhaseLine); }

void clearAndSelectAdviceLine(Engine& engine) { selectLine(engine, kAdviceLine); }

void printStatus(Engine& engine, const char* format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    const int32_t line = engine.selectedLines.current();
    setLine(engine, line, "\r\n");
    setLine(engine, line, message);
}

void setFineProgress(Engine& engine, int32_t position)
{
    toFrontEnd(engine, [&](const FrontEnd& fe) {
        if (fe.setFineProgress)
            fe.setFineProgress(fe.context, position);
    });
}

void setOverallProgress(Engine& engine, int32_t position)
{
    toFrontEnd(engine, [&](const FrontEnd& fe) {
        if (fe.setOverallProgress)
            fe.setOverallProgress(fe.context, position);
    });
}

void enableContinue(Engine& engine, int32_t enable)
{
    toFrontEnd(engine, [&](const FrontEnd& fe) {
        if (fe.enableContinue)
            fe.enableContinue(fe.context, enable);
    });
}

void enterPhase(Engine& engine, Phase phase)
{
    engine.phase = phase;
    const FrontEnd* fe = engine.frontEnd;
    if (fe && fe->phaseChanged)
        fe->phaseChanged(fe->context, static_cast<int32_t>(phase));
}

const char* phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Waiting: return "waiting";
    case Phase::GangReady: return "gang_ready";
    case Phase::Exchanging: return "exchanging";
    case Phase::Erasing: return "erasing";
    case Phase::Writing: return "writing";
    case Phase::Checksumming: return "checksumming";
    case Phase::Aborting: return "aborting";
    case Phase::Ended: return "ended";
    }
    return "unknown";
}

void countRetry(Engine& engine) { engine.phaseRetries[static_cast<int>(engine.phase)] += 1; }

void postResult(Engine& engine, int32_t result)
{
    // Nothing may act after the outcome: without this, the handlers of the last state would
    // go on resending their frame on every time-out while the dialog stays open.
    freezeSlots(engine);
    enterPhase(engine, Phase::Ended);
    toFrontEnd(engine, [&](const FrontEnd& fe) {
        if (fe.postResult)
            fe.postResult(fe.context, result);
    });
    releaseBlockBuffers(engine);
    closeReleaseFile(engine);
}

void initEngine(Engine& engine, int32_t mode, int32_t initialSpeed, int32_t chosenSpeed,
                int32_t gangMode)
{
    engine.downloadMode = mode;
    engine.initialSpeed = initialSpeed;
    engine.chosenSpeed = chosenSpeed;
    engine.gangMode = gangMode;
    crcInit(&engine.crcAccumulator);
    engine.byteSum = 0;
    for (int32_t& retries : engine.phaseRetries)
        retries = 0;
    engine.recordReceived = false;
    engine.sentChecksum = -1;
    engine.reportedChecksum = -1;
    engine.abortResult = -1;
    engine.unsentBytes = -1;
}

void drainReceive(Engine& engine) { engine.io.rearmReceive(); }

void drainWhileSending(Engine& engine, Handler sent)
{
    engine.slots.onTxEmpty = sent;
    engine.io.armReceive(engine.drainBuffer, sizeof engine.drainBuffer);
    engine.slots.onRxComplete = drainReceive;
}

void freezeSlots(Engine& engine) { engine.slots = {idleHandler, idleHandler, idleHandler}; }

void runTick(Engine& engine)
{
    EngineLock lock(engine);
    if (engine.slots.onTick)
        engine.slots.onTick(engine);
}

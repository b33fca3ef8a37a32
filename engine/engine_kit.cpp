// The engine kit (see engine_kit.h): recogniser, outputs, initialisation.
#include "engine/engine_kit.h"

#include <cstdarg>
#include <cstdio>

#include "engine/checksum.h"
#include "engine/release_file.h"
#include "transport/frame_io.h"

namespace {

const FrontEnd* frontEnd = nullptr;

// The line a thread selected. Selecting writes to the front end, which releases the engine
// lock, so the other thread may select its own line before this one prints: each thread's
// printStatus must still go to the line that thread selected.
thread_local int32_t selectedLine = kPhaseLine;

// Every output goes to the front end with the engine lock released: the front end may wait
// for its own thread, and that thread may be waiting for the lock.
template <typename Call>
void toFrontEnd(Call call)
{
    const FrontEnd* fe = frontEnd;
    if (!fe)
        return;
    EngineUnlock unlock;
    call(*fe);
}

void setLine(int32_t control, const char* text)
{
    toFrontEnd([&](const FrontEnd& fe) {
        if (fe.setLineText)
            fe.setLineText(fe.context, control, text);
    });
}

void selectLine(int32_t control)
{
    selectedLine = control;
    setLine(control, "\r\n");
}

}  // namespace

void setFrontEnd(const FrontEnd* fe) { frontEnd = fe; }

uint8_t recogniseResponse()
{
    const int32_t previous = engine.previousByte;
    const uint8_t current = engine.responseCell;
    engine.previousByte = current;
    if (previous == wire::kResponseMark && wire::isResponseLetter(current)) {
        engine.previousByte = 0xFF;
        return current;
    }
    armReceive(&engine.responseCell, 1);
    return wire::kNoResponse;
}

void clearAndSelectPhaseLine() { selectLine(kPhaseLine); }

void clearAndSelectAdviceLine() { selectLine(kAdviceLine); }

void printStatus(const char* format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    const int32_t line = selectedLine;
    setLine(line, "\r\n");
    setLine(line, message);
}

void setFineProgress(int32_t position)
{
    toFrontEnd([&](const FrontEnd& fe) {
        if (fe.setFineProgress)
            fe.setFineProgress(fe.context, position);
    });
}

void setOverallProgress(int32_t position)
{
    toFrontEnd([&](const FrontEnd& fe) {
        if (fe.setOverallProgress)
            fe.setOverallProgress(fe.context, position);
    });
}

void enableContinue(int32_t enable)
{
    toFrontEnd([&](const FrontEnd& fe) {
        if (fe.enableContinue)
            fe.enableContinue(fe.context, enable);
    });
}

void enterPhase(Phase phase)
{
    engine.phase = phase;
    if (frontEnd && frontEnd->phaseChanged)
        frontEnd->phaseChanged(frontEnd->context, static_cast<int32_t>(phase));
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

void countRetry() { engine.phaseRetries[static_cast<int>(engine.phase)] += 1; }

void postResult(int32_t result)
{
    // Nothing may act after the outcome: without this, the handlers of the last state would
    // go on resending their frame on every time-out while the dialog stays open.
    freezeSlots();
    enterPhase(Phase::Ended);
    toFrontEnd([&](const FrontEnd& fe) {
        if (fe.postResult)
            fe.postResult(fe.context, result);
    });
    releaseBlockBuffers();
    closeReleaseFile();
}

void initEngine(int32_t mode, int32_t initialSpeed, int32_t chosenSpeed, int32_t gangMode)
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

void drainReceive() { rearmReceive(); }

void drainWhileSending(Handler sent)
{
    handlerSlots.onTxEmpty = sent;
    armReceive(engine.drainBuffer, sizeof engine.drainBuffer);
    handlerSlots.onRxComplete = drainReceive;
}

void freezeSlots() { handlerSlots = {idleHandler, idleHandler, idleHandler}; }

void runTick()
{
    EngineLock lock;
    if (handlerSlots.onTick)
        handlerSlots.onTick();
}

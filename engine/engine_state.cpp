// The engine's start values, its line events and the status line each thread selected.
#include "engine/engine_state.h"

#include <cstdlib>

#include "engine/clock.h"

Engine::Engine() : EngineState{}, clock(nullptr)
{
    crcAccumulator = 0xFFFF;
    checksumKind = kChecksumByteSum;
    blankByte = 0xFF;
    phase = Phase::Ended;
    abortResult = -1;
    unsentBytes = -1;
    previousByte = 0;
    parameterFrame[0] = wire::kCommandMark;
    parameterFrame[1] = wire::kParameter;
    parameterFrame[2] = wire::kSpeedCodeAtStart;
    parameterFrame[3] = wire::kParameterTrailer;
    checksumFrame[0] = wire::kCommandMark;
    checksumFrame[1] = wire::kChecksum;
    setClockSource(*this, nullptr);
}

Engine::~Engine()
{
    reader.stop();
    reader.join();
    releaseBlockBuffers(*this);
    if (releaseFile)
        std::fclose(releaseFile);
}

void Engine::lineTxEmpty()
{
    EngineLock hold(*this);
    if (slots.onTxEmpty)
        slots.onTxEmpty(*this);
}

void Engine::lineBytes(const uint8_t* bytes, uint32_t n)
{
    EngineLock hold(*this);
    io.deliverBytes(bytes, n, [](void* context) {
        Engine& engine = *static_cast<Engine*>(context);
        if (!engine.slots.onRxComplete)
            return false;
        engine.slots.onRxComplete(engine);
        return true;
    }, this);
}

void Engine::lineClosing(SerialPort* port)
{
    EngineLock hold(*this);
    if (io.port() == port)
        io.attach(nullptr, nullptr);
}

void releaseBlockBuffers(Engine& engine)
{
    std::free(engine.frameBuffer);
    std::free(engine.readBuffer);
    engine.frameBuffer = nullptr;
    engine.readBuffer = nullptr;
}

void SelectedLines::select(int32_t line)
{
    const std::thread::id me = std::this_thread::get_id();
    for (Entry& entry : entries_) {
        if (entry.thread == me) {
            entry.line = line;
            return;
        }
    }
    entries_[next_] = {me, line};
    next_ = (next_ + 1) % 4;
}

int32_t SelectedLines::current() const
{
    const std::thread::id me = std::this_thread::get_id();
    for (const Entry& entry : entries_)
        if (entry.thread == me)
            return entry.line;
    return kPhaseLine;
}

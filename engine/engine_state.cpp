// The engine's process-wide variables and their program-start values.
#include "engine/engine_state.h"

#include <cstdlib>

EngineState engine = {};

namespace {

void setStartValues(EngineState& e)
{
    e = EngineState{};
    e.crcAccumulator = 0xFFFF;
    e.checksumKind = kChecksumByteSum;
    e.blankByte = 0xFF;
    e.phase = Phase::Ended;
    e.abortResult = -1;
    e.unsentBytes = -1;
}

struct StartValues {
    StartValues() { setStartValues(engine); }
} startValues;

}  // namespace

void releaseBlockBuffers()
{
    std::free(engine.frameBuffer);
    std::free(engine.readBuffer);
    engine.frameBuffer = nullptr;
    engine.readBuffer = nullptr;
}

void resetEngineState()
{
    releaseBlockBuffers();
    setStartValues(engine);
}

// Millisecond clock and waits (see clock.h).
#include "engine/clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/handler_slots.h"
#include "transport/frame_io.h"

namespace {

ClockMark realNow()
{
    using namespace std::chrono;
    const int64_t ms =
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return ClockMark{static_cast<int32_t>(ms / 1000), static_cast<uint16_t>(ms % 1000)};
}

void realPause(int32_t ms)
{
    // Never more than a millisecond at a time: the wait must notice its deadline and a
    // stopped reader quickly.
    (void)ms;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

const ClockSource realSource = {realNow, realPause};

// Lets time pass towards a deadline `remaining` ms away, with the engine lock released so
// that the other thread can run its handlers meanwhile.
void pauseUnlocked(Engine& engine, int32_t remaining)
{
    EngineUnlock unlock(engine);
    engine.clock->pause(std::max<int32_t>(remaining, 1));
}

}  // namespace

void setClockSource(Engine& engine, const ClockSource* s)
{
    engine.clock = s ? s : &realSource;
}

ClockMark clockNow(Engine& engine) { return engine.clock->now(); }

int32_t millisBetween(ClockMark from, ClockMark to)
{
    // The difference of two marks in 32 bits: unsigned arithmetic wraps as 32-bit signed
    // arithmetic would, without being undefined behaviour.
    const uint32_t seconds = static_cast<uint32_t>(to.seconds) - static_cast<uint32_t>(from.seconds);
    const uint32_t ms = seconds * 1000u + to.millis - from.millis;
    return static_cast<int32_t>(ms);
}

void markClock(Engine& engine) { engine.clockMark = clockNow(engine); }

int32_t elapsedMs(Engine& engine) { return millisBetween(engine.clockMark, clockNow(engine)); }

bool hasElapsed(Engine& engine, int32_t ms) { return elapsedMs(engine) >= ms; }

void waitSinceMark(Engine& engine, int32_t ms)
{
    while (!hasElapsed(engine, ms) && engine.io.running())
        pauseUnlocked(engine, ms - elapsedMs(engine));
}

void waitFor(Engine& engine, int32_t ms)
{
    const ClockMark start = clockNow(engine);
    while (engine.io.running()) {
        const int32_t passed = millisBetween(start, clockNow(engine));
        if (passed >= ms)
            return;
        pauseUnlocked(engine, ms - passed);
    }
}

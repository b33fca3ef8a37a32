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
const ClockSource* source = &realSource;

// Lets time pass towards a deadline `remaining` ms away, with the engine lock released so
// that the other thread can run its handlers meanwhile.
void pauseUnlocked(int32_t remaining)
{
    EngineUnlock unlock;
    source->pause(std::max<int32_t>(remaining, 1));
}

}  // namespace

void setClockSource(const ClockSource* s) { source = s ? s : &realSource; }

ClockMark clockNow() { return source->now(); }

int32_t millisBetween(ClockMark from, ClockMark to)
{
    // The difference of two marks in 32 bits: unsigned arithmetic wraps as 32-bit signed
    // arithmetic would, without being undefined behaviour.
    const uint32_t seconds = static_cast<uint32_t>(to.seconds) - static_cast<uint32_t>(from.seconds);
    const uint32_t ms = seconds * 1000u + to.millis - from.millis;
    return static_cast<int32_t>(ms);
}

void markClock() { engine.clockMark = clockNow(); }

int32_t elapsedMs() { return millisBetween(engine.clockMark, clockNow()); }

bool hasElapsed(int32_t ms) { return elapsedMs() >= ms; }

void waitSinceMark(int32_t ms)
{
    while (!hasElapsed(ms) && lineRunning())
        pauseUnlocked(ms - elapsedMs());
}

void waitFor(int32_t ms)
{
    const ClockMark start = clockNow();
    while (lineRunning()) {
        const int32_t passed = millisBetween(start, clockNow());
        if (passed >= ms)
            return;
        pauseUnlocked(ms - passed);
    }
}

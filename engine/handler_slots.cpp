// The handler slots and the engine lock (see handler_slots.h).
#include "engine/handler_slots.h"

#include <mutex>

HandlerSlots handlerSlots = {nullptr, nullptr, nullptr};

void idleHandler() {}

namespace {
std::mutex engineMutex;
thread_local int lockDepth = 0;
}  // namespace

void enterEngine()
{
    if (lockDepth++ == 0)
        engineMutex.lock();
}

void leaveEngine()
{
    if (--lockDepth == 0)
        engineMutex.unlock();
}

EngineUnlock::EngineUnlock() : depth_(lockDepth)
{
    if (depth_ > 0) {
        lockDepth = 0;
        engineMutex.unlock();
    }
}

EngineUnlock::~EngineUnlock()
{
    if (depth_ > 0) {
        engineMutex.lock();
        lockDepth = depth_;
    }
}

void clearHandlerSlots()
{
    EngineLock lock;
    handlerSlots = {nullptr, nullptr, nullptr};
}

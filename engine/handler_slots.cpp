// The handler slots and the engine lock (see handler_slots.h).
#include "engine/handler_slots.h"

#include "engine/engine_state.h"

void idleHandler(Engine&) {}

void enterEngine(Engine& engine)
{
    EngineMutex& m = engine.lock;
    const std::thread::id me = std::this_thread::get_id();
    if (m.owner.load(std::memory_order_relaxed) == me) {
        ++m.depth;
        return;
    }
    m.mutex.lock();
    m.owner.store(me, std::memory_order_relaxed);
    m.depth = 1;
}

void leaveEngine(Engine& engine)
{
    EngineMutex& m = engine.lock;
    if (--m.depth == 0) {
        m.owner.store(std::thread::id(), std::memory_order_relaxed);
        m.mutex.unlock();
    }
}

EngineUnlock::EngineUnlock(Engine& engine) : engine_(engine), depth_(0)
{
    EngineMutex& m = engine_.lock;
    if (m.owner.load(std::memory_order_relaxed) != std::this_thread::get_id())
        return;
    depth_ = m.depth;
    m.depth = 0;
    m.owner.store(std::thread::id(), std::memory_order_relaxed);
    m.mutex.unlock();
}

EngineUnlock::~EngineUnlock()
{
    if (depth_ == 0)
        return;
    EngineMutex& m = engine_.lock;
    m.mutex.lock();
    m.owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    m.depth = depth_;
}

void clearHandlerSlots(Engine& engine)
{
    EngineLock lock(engine);
    engine.slots = {nullptr, nullptr, nullptr};
}

// Handler slots and the engine lock: how the transport's events and the front end's ticks
// reach the protocol state a download is in.
//
// The engine is an event-driven state machine with no thread of its own. Each protocol
// state is a handful of handler functions; entering a state means storing its handlers in
// the engine's slots. The reader thread runs onTxEmpty and onRxComplete (through the engine's
// LineEvents), the front end's 500 ms timer runs onTick.
//
// Thread safety. Two threads run handlers. Every handler runs while its thread holds its
// engine's lock (EngineLock), so the slots, the engine's variables and its frame I/O are
// never touched by both threads at once. The lock is released (and taken again) around every
// synchronous output to the front end and around every wait, because those wait for the
// other thread; see EngineUnlock. Each engine has its own lock: two downloads never wait
// for each other.
#ifndef TARVOLO_ENGINE_HANDLER_SLOTS_H
#define TARVOLO_ENGINE_HANDLER_SLOTS_H

#include <atomic>
#include <mutex>
#include <thread>

struct Engine;

using Handler = void (*)(Engine& engine);

struct HandlerSlots {
    Handler onTxEmpty;     // reader thread: the frame last written has left the driver
    Handler onRxComplete;  // reader thread: the armed receive has been filled
    Handler onTick;        // front end thread: every 500 ms tick
};

// Does nothing. onTxEmpty holding it means the frame last sent has left the line.
void idleHandler(Engine& engine);

// One engine's recursive lock: the thread holding it may take it again (depth counts).
struct EngineMutex {
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};
    int depth = 0;  // touched only by the owner
};

void enterEngine(Engine& engine);
void leaveEngine(Engine& engine);

// Holds the engine lock for a scope.
struct EngineLock {
    explicit EngineLock(Engine& engine) : engine_(engine) { enterEngine(engine_); }
    ~EngineLock() { leaveEngine(engine_); }
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;
private:
    Engine& engine_;
};

// Releases the engine lock for a scope if this thread holds it (at whatever depth), and
// takes it back at the same depth afterwards. Used around outputs and waits.
struct EngineUnlock {
    explicit EngineUnlock(Engine& engine);
    ~EngineUnlock();
    EngineUnlock(const EngineUnlock&) = delete;
    EngineUnlock& operator=(const EngineUnlock&) = delete;
private:
    Engine& engine_;
    int depth_;
};

// Empties all three slots (nullptr): the state before the first download. No event calls
// an empty slot.
void clearHandlerSlots(Engine& engine);

#endif

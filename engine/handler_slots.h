// Handler slots: the one place where the transport and the download engine meet.
//
// The engine is an event-driven state machine with no thread of its own. Each protocol
// state is a handful of handler functions; entering a state means storing its handlers
// here. The reader thread (transport) runs onTxEmpty and onRxComplete, the front end's
// 500 ms timer runs onTick.
//
// This header has no includes on purpose: the transport includes it and nothing else of
// the engine, so no include runs from transport/ back up into engine/.
//
// Thread safety. Two threads run handlers. Every handler runs while its thread holds the
// engine lock (EngineLock), so the slots, the engine variables and the transport's receive
// and frame state are never touched by both threads at once. The lock is released (and
// taken again) around every synchronous output to the front end and around every wait,
// because those wait for the other thread; see EngineUnlock.
#ifndef TARVOLO_ENGINE_HANDLER_SLOTS_H
#define TARVOLO_ENGINE_HANDLER_SLOTS_H

using Handler = void (*)();

struct HandlerSlots {
    Handler onTxEmpty;     // reader thread: the frame last written has left the driver
    Handler onRxComplete;  // reader thread: the armed receive has been filled
    Handler onTick;        // front end thread: every 500 ms tick
};

// The process-wide slots. Read and written only under the engine lock.
extern HandlerSlots handlerSlots;

// Does nothing. onTxEmpty holding it means the frame last sent has left the line.
void idleHandler();

// Recursive per-thread engine lock. enterEngine nests; leaveEngine undoes one enter.
void enterEngine();
void leaveEngine();

// Holds the engine lock for a scope.
struct EngineLock {
    EngineLock() { enterEngine(); }
    ~EngineLock() { leaveEngine(); }
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;
};

// Releases the engine lock for a scope if this thread holds it (at whatever depth), and
// takes it back at the same depth afterwards. Used around outputs and waits.
struct EngineUnlock {
    EngineUnlock();
    ~EngineUnlock();
    EngineUnlock(const EngineUnlock&) = delete;
    EngineUnlock& operator=(const EngineUnlock&) = delete;
private:
    int depth_;
};

// Empties all three slots (nullptr): the state before the first download. The transport
// never calls an empty slot.
void clearHandlerSlots();

#endif

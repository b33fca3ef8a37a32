// The download engine: one object per download, owned by its session (session/session.h).
// It holds the protocol's variables (EngineState), the handler slots and their lock, the
// frame I/O and reader thread of its line, the front end its outputs go to and its clock.
// Every handler takes it as its first argument, so a signature shows what a handler touches
// and two downloads never share a variable.
//
// Every field is read and written under the engine's lock (handler_slots.h).
#ifndef TARVOLO_ENGINE_ENGINE_STATE_H
#define TARVOLO_ENGINE_ENGINE_STATE_H

#include <cstdint>
#include <cstdio>
#include <thread>

#include "engine/front_end.h"
#include "engine/handler_slots.h"
#include "engine/phase.h"
#include "engine/wire.h"
#include "transport/frame_io.h"
#include "transport/line_events.h"
#include "transport/reader.h"

struct ClockMark {
    int32_t seconds;
    uint16_t millis;
};

// The engine's time source: its one seam for tests (engine/clock.h).
struct ClockSource {
    ClockMark (*now)();
    // Lets at most `ms` milliseconds pass (ms >= 1). The real source sleeps; a fake one
    // advances its time.
    void (*pause)(int32_t ms);
};

struct EngineState {
    int32_t downloadMode;    // DownloadMode
    int32_t initialSpeed;    // line speed before the switch; always 19200
    int32_t chosenSpeed;     // speed switched to after the parameter request
    int32_t gangMode;        // 0 or 1
    uint32_t crcAccumulator; // running CRC-16/X-25 register, below 0x10000
    uint16_t byteSum;        // running byte sum, modulo 65536
    int32_t checksumKind;    // ChecksumKind: byte sum until the parameter record names one
    uint8_t blankByte;       // escape byte of the run-length encoding, from the parameter
                             // record; 0xFF (raw payloads) until then
    int32_t blockSize;       // from the parameter record
    int32_t totalBlocks;     // block count shown to the operator
    uint16_t blockNumber;    // current block, from 0
    int32_t retryCount;      // retries of the current frame
    int32_t eraseNakCount;   // erase refusals since the last warning
    int32_t abortResult;     // DownloadResult the abort was started with (posted when it goes
                             // unanswered), or -1 while no abort has started
    uint8_t* frameBuffer;    // 2 * blockSize + 4 bytes, per download
    uint8_t* readBuffer;     // blockSize bytes, per download
    uint8_t responseCell;    // receive target for response bytes
    uint8_t replyWord[2];    // block number after '>w', checksum after '>c'
    uint8_t parameterRecord[wire::kParameterRecordLength];
    uint8_t drainBuffer[100];  // receive target while a frame is on its way; never read
    int32_t previousByte;    // the recogniser's memory; 0 at the start of each download
    ClockMark clockMark;     // the one time mark of the engine
    FILE* releaseFile;       // the open release file, or nullptr
    uint8_t fileProductId[4];  // first four bytes of the release file
    Phase phase;             // where the download stands (engine/phase.h)
    int32_t phaseRetries[kPhaseCount];  // frames sent again, per phase, in this download
    bool recordReceived;     // parameterRecord holds this download's record
    int32_t sentChecksum;    // the image checksum sent in "<c", or -1
    int32_t reportedChecksum;  // the handset's checksum after '>c', or -1
    int64_t unsentBytes;     // image bytes after the last whole block, or -1 before the record
    // The frames whose bytes change per download; sent from here, so they outlive resends.
    uint8_t parameterFrame[wire::kParameterLength];  // speed code written at each exchange
    uint8_t checksumFrame[wire::kChecksumLength];    // image checksum written at each send
    uint32_t preparedLength;  // length of the last write frame built, or 0
};

// The status line each thread last selected: selecting writes to the front end, which
// releases the lock, so the other thread may select its own line before this one prints.
class SelectedLines {
public:
    void select(int32_t line);
    int32_t current() const;
private:
    struct Entry {
        std::thread::id thread;
        int32_t line;
    };
    // Two threads run a download's handlers (the reader's, the front end's); the spare
    // entries serve a front end whose ticks come from more than one thread.
    Entry entries_[4] = {};
    int next_ = 0;  // entry taken when this thread has none (the oldest goes)
};

struct Engine : EngineState, LineEvents {
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    HandlerSlots slots = {nullptr, nullptr, nullptr};
    EngineMutex lock;
    FrameIo io;
    Reader reader{io, *this};
    const FrontEnd* frontEnd = nullptr;  // nullptr discards every output
    SelectedLines selectedLines;
    const ClockSource* clock;  // never null (engine/clock.h)

    // The reader thread's events, each under the lock.
    void lineTxEmpty() override;
    void lineBytes(const uint8_t* bytes, uint32_t n) override;
    void lineClosing(SerialPort* port) override;
};

// Time limits of the protocol states, in milliseconds.
constexpr int32_t kExchangeTimeoutMs = 1000;
constexpr int32_t kGangSilenceMs = 1000;
constexpr int32_t kEraseTimeoutMs = 81000;
constexpr int32_t kEraseBarMs = 80000;
constexpr int32_t kBlockTimeoutMs = 10000;
constexpr int32_t kChecksumTimeoutMs = 25000;
constexpr int32_t kAbortTimeoutMs = 10000;
constexpr int32_t kInquiryPauseMs = 10;
constexpr int32_t kSpeedSwitchPauseMs = 10;
constexpr int32_t kInitialSpeed = 19200;

// Releases frameBuffer and readBuffer (no-op when none are held).
void releaseBlockBuffers(Engine& engine);

#endif

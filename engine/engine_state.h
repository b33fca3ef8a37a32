// The download engine's variables: one process-wide set, grouped so that tests can put
// them back to their program-start values between cases (resetEngineState).
//
// Every field is read and written under the engine lock (handler_slots.h).
#ifndef TARVOLO_ENGINE_ENGINE_STATE_H
#define TARVOLO_ENGINE_ENGINE_STATE_H

#include <cstdint>
#include <cstdio>

#include "engine/front_end.h"
#include "engine/phase.h"
#include "engine/wire.h"

struct ClockMark {
    int32_t seconds;
    uint16_t millis;
};

struct EngineState {
    int32_t downloadMode;    // DownloadMode
    int32_t initialSpeed;    // line speed before the switch; always 19200
    int32_t chosenSpeed;     // speed switched to after the parameter request
    int32_t gangMode;        // 0 or 1
    uint32_t crcAccumulator; // running CRC-16/X-25 register, below 0x10000
    uint16_t byteSum;        // running byte sum, modulo 65536
    int32_t checksumKind;    // ChecksumKind; kept across downloads
    uint8_t blankByte;       // escape byte of the run-length encoding; kept across downloads
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
    int32_t previousByte;    // the recogniser's memory; kept across downloads
    ClockMark clockMark;     // the one time mark of the engine
    FILE* releaseFile;       // the open release file, or nullptr
    uint8_t fileProductId[4];  // first four bytes of the release file
    Phase phase;             // where the download stands (engine/phase.h)
    int32_t phaseRetries[kPhaseCount];  // frames sent again, per phase, in this download
    bool recordReceived;     // parameterRecord holds this download's record
    int32_t sentChecksum;    // the image checksum sent in "<c", or -1
    int32_t reportedChecksum;  // the handset's checksum after '>c', or -1
    int64_t unsentBytes;     // image bytes after the last whole block, or -1 before the record
};

extern EngineState engine;

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

// Puts every variable back to its program-start value and releases the block buffers.
// Closes no file: call closeReleaseFile first when one may be open.
void resetEngineState();

// Releases frameBuffer and readBuffer (no-op when none are held).
void releaseBlockBuffers();

#endif

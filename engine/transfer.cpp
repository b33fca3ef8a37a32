// Erase and block transfer: writes the image into the handset.
//
// In erase-and-download mode the erase command "<e" goes first and is repeated until the
// handset reports '>e'. Then the image goes block by block: each block is read and prepared
// (block_prep), blank blocks are passed over without line time, every other block goes out
// as a write frame from frameBuffer and must be acknowledged with its own number before the
// next one is read. Refusals, wrong numbers and silence send the same frame again, without
// limit. In gang mode the other handsets only listen, so the engine paces itself: it lets the
// erase run its full 80 s and waits after each acknowledgement before the next block.
//
// Threads: the handlers run under the engine lock on the reader thread, the time-outs on the
// front end's thread. Each handler completes its state change before it writes text (outputs
// release the lock); a time-out acts only when onTxEmpty is idleHandler, that is, when no
// frame of ours is on its way.
#include <cstdint>

#include "engine/block_prep.h"
#include "engine/engine_kit.h"
#include "engine/handlers.h"
#include "transport/frame_io.h"

namespace {

const uint8_t eraseFrame[wire::kEraseLength] = {wire::kCommandMark, wire::kErase};

constexpr int32_t kEraseNakWarning = 5;

const char kMultipleTimeouts[] =
    "\nMultiple timeouts have occurred, waiting for a mobile response\r\nCheck that the cable "
    "is still attached.\r\nIf download doesn't continue, select 'Abort'\r\n";

// Integer percentage of the image done, shown beside the block being written. A count of 0
// (a release file shorter than the block it just read whole) cannot divide.
int32_t percentDone(Engine& engine, int32_t block)
{
    if (engine.totalBlocks <= 0)
        return 0;
    return static_cast<int32_t>(static_cast<int64_t>(block) * 100 / engine.totalBlocks);
}

// Common start of the transfer after the handlers of the first frame are stored.
void beginTransfer(Engine& engine)
{
    // The erase time-out (or the exchange's) has nothing to do from here on; the first frame
    // sent sets the write time-out.
    engine.slots.onTick = idleHandler;
    engine.eraseNakCount = 0;
    enterPhase(engine, Phase::Writing);
    setOverallProgress(engine, 0);
    clearAndSelectAdviceLine(engine);
    sendBlocksFrom(engine, true);
}

// Gang mode: the listening handsets need time to program what the answering one has
// acknowledged; the pause scales with the block and the checksum kind.
void paceGang(Engine& engine)
{
    engine.slots.onTick = idleHandler;
    if (engine.downloadMode != kModeEraseAndDownload) {
        waitFor(engine, elapsedMs(engine) / 3);
    } else {
        const int64_t perKilobyte = engine.checksumKind == kChecksumCrc ? 90 : 30;
        const int64_t ms = static_cast<int64_t>(engine.blockSize) * perKilobyte / 1024;
        waitSinceMark(engine, ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms));
    }
    engine.slots.onTick = blockTimeout;
}

}  // namespace

// Reader thread (from parameterReply).
void startErase(Engine& engine)
{
    drainWhileSending(engine, eraseSent);
    engine.slots.onTick = eraseTimeout;
    engine.retryCount = 0;
    engine.eraseNakCount = 0;
    markClock(engine);
    engine.io.sendFrame(eraseFrame, wire::kEraseLength);
    enterPhase(engine, Phase::Erasing);

    clearAndSelectAdviceLine(engine);
    clearAndSelectPhaseLine(engine);
    printStatus(engine, "\nErasing flash. Please wait...\r\n");
}

// Reader thread, onTxEmpty: the erase time counts from here.
void eraseSent(Engine& engine)
{
    engine.io.armReceive(&engine.responseCell, 1);
    engine.slots.onTxEmpty = idleHandler;
    engine.slots.onRxComplete = eraseResponse;
    markClock(engine);
}

// Reader thread, onRxComplete. In gang mode '>e' holds this thread until 80 s after the
// erase command left the line.
void eraseResponse(Engine& engine)
{
    const uint8_t r = recogniseResponse(engine);
    if (r == wire::kEraseRefused) {
        drainWhileSending(engine, eraseSent);
        countRetry(engine);
        engine.io.resendLastFrame();
        if (++engine.eraseNakCount == kEraseNakWarning) {
            engine.eraseNakCount = 0;
            clearAndSelectAdviceLine(engine);
            printStatus(engine,
                        "\nMultiple erase NAKs have been received\r\nCheck the cable, otherwise "
                        "press Esc to abort\r\n");
        }
    } else if (r == wire::kErased) {
        engine.blockNumber = 0;
        drainWhileSending(engine, blockSent);
        if (engine.gangMode)
            waitSinceMark(engine, kEraseBarMs);
        beginTransfer(engine);
    } else if (r != wire::kNoResponse) {
        engine.io.armReceive(&engine.responseCell, 1);
    }
}

// Front end thread, onTick: the erase bar fills in 80 s; 81 s after the command left the
// line without an answer it goes again, without limit.
void eraseTimeout(Engine& engine)
{
    const int64_t bar = (static_cast<int64_t>(elapsedMs(engine)) + 1) * 100 / kEraseBarMs;
    const bool expired = hasElapsed(engine, kEraseTimeoutMs) && engine.slots.onTxEmpty == idleHandler;
    int32_t retry = 0;
    if (expired) {
        retry = ++engine.retryCount;
        countRetry(engine);
        markClock(engine);
        drainWhileSending(engine, eraseSent);
        engine.io.resendLastFrame();
    }

    setOverallProgress(engine, bar > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bar));
    if (!expired)
        return;
    clearAndSelectPhaseLine(engine);
    printStatus(engine, "\nErasing flash - retry # %d\r\n", retry);
    if (retry == 2) {
        clearAndSelectAdviceLine(engine);
        printStatus(engine, "%s", kMultipleTimeouts);
    }
}

// Reader thread (from parameterReply, normal download).
void startBlocks(Engine& engine)
{
    engine.blockNumber = 0;
    drainWhileSending(engine, blockSent);
    beginTransfer(engine);
}

// Reader thread. Reads blocks until one is to be sent (and sends it) or the image ends.
// `first`: the write frame goes out for the first time in this download, so frameBuffer
// becomes the remembered last frame; every later frame is sent again from it in place.
void sendBlocksFrom(Engine& engine, bool first)
{
    if (first)
        engine.io.sendFrame(engine.frameBuffer, 0);  // remembered, nothing written yet
    for (;;) {
        const int32_t r = prepareBlock(engine);
        if (r == kBlockEndOfImage) {
            startChecksum(engine);
            return;
        }
        const int32_t shown = engine.blockNumber + 1;
        if (r == kBlockBlank) {
            engine.slots.onTick = idleHandler;
            engine.blockNumber += 1;
            clearAndSelectPhaseLine(engine);
            printStatus(engine,
                        "\nBlank block # %d of %ld\r\n", shown,
                        static_cast<long>(engine.totalBlocks));
            continue;
        }
        putBlockNumber(engine.frameBuffer, engine.blockNumber);
        engine.slots.onTick = blockTimeout;
        engine.retryCount = 0;
        markClock(engine);
        engine.io.resendLastFrame();

        clearAndSelectAdviceLine(engine);
        clearAndSelectPhaseLine(engine);
        printStatus(engine,
                    "\nWriting block # %d of %ld (%d%%)\r\n", shown,
                    static_cast<long>(engine.totalBlocks), percentDone(engine, shown));
        return;
    }
}

// Reader thread, onTxEmpty: the write time-out and the gang pacing count from here.
void blockSent(Engine& engine)
{
    engine.io.armReceive(&engine.responseCell, 1);
    engine.slots.onTxEmpty = idleHandler;
    engine.slots.onRxComplete = blockResponse;
    markClock(engine);
}

// Reader thread, onRxComplete. After '>W' nothing is armed: the filled one-byte receive takes
// the next byte, whatever it is, for blockRefused.
void blockResponse(Engine& engine)
{
    const uint8_t r = recogniseResponse(engine);
    if (r == wire::kWriteRefused) {
        engine.slots.onRxComplete = blockRefused;
    } else if (r == wire::kWritten) {
        engine.io.armReceive(engine.replyWord, sizeof engine.replyWord);
        engine.slots.onRxComplete = blockReply;
    } else if (r != wire::kNoResponse) {
        engine.io.armReceive(&engine.responseCell, 1);
    }
}

// Reader thread, onRxComplete: the byte after '>W'; the same block goes again.
void blockRefused(Engine& engine)
{
    putBlockNumber(engine.frameBuffer, engine.blockNumber);
    drainWhileSending(engine, blockSent);
    markClock(engine);
    countRetry(engine);
    engine.io.resendLastFrame();

    const int32_t shown = engine.blockNumber + 1;
    clearAndSelectPhaseLine(engine);
    printStatus(engine,
                "\nWriting block # %d of %ld\r\n", shown, static_cast<long>(engine.totalBlocks));
}

// Reader thread, onRxComplete: the block number after '>w'. In gang mode the pacing holds
// this thread (time-outs idle meanwhile).
void blockReply(Engine& engine)
{
    drainWhileSending(engine, blockSent);
    if (engine.gangMode)
        paceGang(engine);
    markClock(engine);
    if (getBlockNumber(engine.replyWord) != engine.blockNumber) {
        countRetry(engine);
        engine.io.resendLastFrame();
        const int32_t shown = engine.blockNumber + 1;
        clearAndSelectPhaseLine(engine);
        printStatus(engine, "\nRepeat  block # %d\r\n", shown);
        return;
    }
    engine.blockNumber += 1;
    sendBlocksFrom(engine, false);
}

// Front end thread, onTick: 10000 ms after the frame left the line without an answer the
// same block goes again, without limit.
void blockTimeout(Engine& engine)
{
    if (!hasElapsed(engine, kBlockTimeoutMs) || engine.slots.onTxEmpty != idleHandler)
        return;
    const int32_t retry = ++engine.retryCount;
    countRetry(engine);
    markClock(engine);
    drainWhileSending(engine, blockSent);
    engine.io.resendLastFrame();

    const int32_t shown = engine.blockNumber + 1;
    clearAndSelectPhaseLine(engine);
    printStatus(engine,
                "\nWriting block # %d of %ld - retry # %d\r\n", shown,
                static_cast<long>(engine.totalBlocks), retry);
    if (retry == 2) {
        clearAndSelectAdviceLine(engine);
        printStatus(engine, "%s", kMultipleTimeouts);
    }
}

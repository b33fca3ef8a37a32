// Completion and the abort handshake: the two ways a download ends.
//
// After the last block the engine sends its image checksum "<c" hi lo and compares the
// handset's answer '>c' hi lo; equal ends the download with result 0. The abort handshake
// "<a" tells the handset to give up after a refused record, buffers that cannot be
// allocated, or differing checksums; '>a' ends with result 4, silence after the second send
// with the reason given.
//
// Threads: handlers under the engine lock, reader thread except the time-outs (front end's
// thread). A handler that ends the download idles every slot before it writes its text, so
// that nothing (a time-out, a late answer) can act, or post a second result, meanwhile.
#include <cstdint>

#include "engine/checksum.h"
#include "engine/engine_kit.h"
#include "engine/handlers.h"
#include "transport/frame_io.h"
#include "transport/line_speed.h"

namespace {

const uint8_t abortFrame[wire::kAbortLength] = {wire::kCommandMark, wire::kAbort};


}  // namespace

// Reader thread (end of the image). The time-out counts from the send.
void startChecksum(Engine& engine)
{
    const uint16_t v = imageChecksum(engine);
    engine.sentChecksum = v;
    // Bytes 2 and 3 of the engine's checksum frame are written each time the phase starts.
    engine.checksumFrame[2] = static_cast<uint8_t>(v >> 8);
    engine.checksumFrame[3] = static_cast<uint8_t>(v);
    drainWhileSending(engine, checksumSent);
    engine.slots.onTick = checksumTimeout;
    engine.retryCount = 0;
    markClock(engine);
    engine.io.sendFrame(engine.checksumFrame, wire::kChecksumLength);
    enterPhase(engine, Phase::Checksumming);

    clearAndSelectPhaseLine(engine);
    printStatus(engine, "\nChecksumming. Please wait...\r\n");
}

// Reader thread, onTxEmpty.
void checksumSent(Engine& engine)
{
    engine.slots.onTxEmpty = idleHandler;
    engine.io.armReceive(&engine.responseCell, 1);
    engine.slots.onRxComplete = checksumResponse;
}

// Reader thread, onRxComplete.
void checksumResponse(Engine& engine)
{
    const uint8_t r = recogniseResponse(engine);
    if (r == wire::kCompletionRefused) {
        freezeSlots(engine);
        clearAndSelectPhaseLine(engine);
        printStatus(engine, "\nComplete response NAK - Download terminated\r\n");
        postResult(engine, kResultChecksumFailed);
    } else if (r == wire::kHandsetSum) {
        engine.io.armReceive(engine.replyWord, sizeof engine.replyWord);
        engine.slots.onRxComplete = checksumReply;
    } else if (r != wire::kNoResponse) {
        engine.io.armReceive(&engine.responseCell, 1);
    }
}

// Reader thread, onRxComplete: the handset's checksum, big-endian.
void checksumReply(Engine& engine)
{
    const uint16_t v = imageChecksum(engine);
    const uint16_t h = static_cast<uint16_t>(engine.replyWord[0] << 8 | engine.replyWord[1]);
    engine.reportedChecksum = h;
    if (v != h) {
        startAbort(engine, kResultChecksumFailed);
        clearAndSelectAdviceLine(engine);
        clearAndSelectPhaseLine(engine);
        printStatus(engine, "\nChecksum failed - Aborting\r\n");
        return;
    }
    freezeSlots(engine);
    clearAndSelectAdviceLine(engine);
    if (engine.gangMode)
        printStatus(engine,
                    "\nDownload completed OK. Checksum %04X\r\nWait for all mobile displays to "
                    "clear\r\nand their LEDs to go off before disconnecting them.\r\n",
                    static_cast<unsigned>(v));
    else
        printStatus(engine,
                    "\nDownload completed OK. Checksum %04X\r\nWait for the mobile's display to "
                    "clear\r\nand its LED to go off before disconnecting it.\r\n",
                    static_cast<unsigned>(v));
    postResult(engine, kResultCompleted);
}

// Front end thread, onTick: 25000 ms after the send without an answer the frame goes again.
// The second expiry only warns, without marking, so the very next tick sends again.
void checksumTimeout(Engine& engine)
{
    if (!hasElapsed(engine, kChecksumTimeoutMs) || engine.slots.onTxEmpty != idleHandler)
        return;
    if (++engine.retryCount == 2) {
        clearAndSelectPhaseLine(engine);
        printStatus(engine, "\nNo response from mobile\r\n");
        clearAndSelectAdviceLine(engine);
        printStatus(engine, "\nCheck the cabling or select 'Abort' to quit download\r\n");
        return;
    }
    markClock(engine);
    drainWhileSending(engine, checksumSent);
    countRetry(engine);
    engine.io.resendLastFrame();
}

// Reader thread (refused record, buffers, differing checksums). The abort goes out at the
// handset's speed; switching also empties the port's buffers. `result` is posted when the
// handset does not answer.
void startAbort(Engine& engine, int32_t result)
{
    engine.abortResult = result;
    switchLineSpeed(engine.io, static_cast<uint32_t>(engine.chosenSpeed));
    drainWhileSending(engine, abortSent);
    engine.slots.onTick = abortTimeout;
    engine.retryCount = 0;
    markClock(engine);
    engine.io.sendFrame(abortFrame, wire::kAbortLength);
    enterPhase(engine, Phase::Aborting);
}

// Reader thread, onTxEmpty.
void abortSent(Engine& engine)
{
    engine.slots.onTxEmpty = idleHandler;
    engine.io.armReceive(&engine.responseCell, 1);
    engine.slots.onRxComplete = abortResponse;
}

// Reader thread, onRxComplete: '>a' ends the download with 4, whatever the reason was.
void abortResponse(Engine& engine)
{
    if (recogniseResponse(engine) != wire::kAborted) {
        engine.io.armReceive(&engine.responseCell, 1);
        return;
    }
    freezeSlots(engine);
    clearAndSelectAdviceLine(engine);
    printStatus(engine, "\nAbort response recieved. Download terminated\r\n");
    postResult(engine, kResultHandsetAborted);
}

// Front end thread, onTick: 10000 ms after each send; the frame goes twice, then the
// download ends with the reason given to startAbort.
void abortTimeout(Engine& engine)
{
    if (!hasElapsed(engine, kAbortTimeoutMs) || engine.slots.onTxEmpty != idleHandler)
        return;
    if (++engine.retryCount == 2) {
        const int32_t result = engine.abortResult;
        freezeSlots(engine);
        clearAndSelectAdviceLine(engine);
        printStatus(engine, "\nNo abort response from mobile. Download terminated\r\n");
        postResult(engine, result);
        return;
    }
    markClock(engine);
    drainWhileSending(engine, abortSent);
    countRetry(engine);
    engine.io.resendLastFrame();
}

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

// Bytes 2 and 3 are written from the image checksum each time the phase starts.
uint8_t checksumFrame[wire::kChecksumLength] = {wire::kCommandMark, wire::kChecksum, 0, 0};
const uint8_t abortFrame[wire::kAbortLength] = {wire::kCommandMark, wire::kAbort};


}  // namespace

// Reader thread (end of the image). The time-out counts from the send.
void startChecksum()
{
    const uint16_t v = imageChecksum();
    engine.sentChecksum = v;
    checksumFrame[2] = static_cast<uint8_t>(v >> 8);
    checksumFrame[3] = static_cast<uint8_t>(v);
    drainWhileSending(checksumSent);
    handlerSlots.onTick = checksumTimeout;
    engine.retryCount = 0;
    markClock();
    sendFrame(checksumFrame, wire::kChecksumLength);
    enterPhase(Phase::Checksumming);

    clearAndSelectPhaseLine();
    printStatus("\nChecksumming. Please wait...\r\n");
}

// Reader thread, onTxEmpty.
void checksumSent()
{
    handlerSlots.onTxEmpty = idleHandler;
    armReceive(&engine.responseCell, 1);
    handlerSlots.onRxComplete = checksumResponse;
}

// Reader thread, onRxComplete.
void checksumResponse()
{
    const uint8_t r = recogniseResponse();
    if (r == wire::kCompletionRefused) {
        freezeSlots();
        clearAndSelectPhaseLine();
        printStatus("\nComplete response NAK - Download terminated\r\n");
        postResult(kResultChecksumFailed);
    } else if (r == wire::kHandsetSum) {
        armReceive(engine.replyWord, sizeof engine.replyWord);
        handlerSlots.onRxComplete = checksumReply;
    } else if (r != wire::kNoResponse) {
        armReceive(&engine.responseCell, 1);
    }
}

// Reader thread, onRxComplete: the handset's checksum, big-endian.
void checksumReply()
{
    const uint16_t v = imageChecksum();
    const uint16_t h = static_cast<uint16_t>(engine.replyWord[0] << 8 | engine.replyWord[1]);
    engine.reportedChecksum = h;
    if (v != h) {
        startAbort(kResultChecksumFailed);
        clearAndSelectAdviceLine();
        clearAndSelectPhaseLine();
        printStatus("\nChecksum failed - Aborting\r\n");
        return;
    }
    freezeSlots();
    clearAndSelectAdviceLine();
    if (engine.gangMode)
        printStatus("\nDownload completed OK. Checksum %04X\r\nWait for all mobile displays to "
                    "clear\r\nand their LEDs to go off before disconnecting them.\r\n",
                    static_cast<unsigned>(v));
    else
        printStatus("\nDownload completed OK. Checksum %04X\r\nWait for the mobile's display to "
                    "clear\r\nand its LED to go off before disconnecting it.\r\n",
                    static_cast<unsigned>(v));
    postResult(kResultCompleted);
}

// Front end thread, onTick: 25000 ms after the send without an answer the frame goes again.
// The second expiry only warns, without marking, so the very next tick sends again.
void checksumTimeout()
{
    if (!hasElapsed(kChecksumTimeoutMs) || handlerSlots.onTxEmpty != idleHandler)
        return;
    if (++engine.retryCount == 2) {
        clearAndSelectPhaseLine();
        printStatus("\nNo response from mobile\r\n");
        clearAndSelectAdviceLine();
        printStatus("\nCheck the cabling or select 'Abort' to quit download\r\n");
        return;
    }
    markClock();
    drainWhileSending(checksumSent);
    countRetry();
    resendLastFrame();
}

// Reader thread (refused record, buffers, differing checksums). The abort goes out at the
// handset's speed; switching also empties the port's buffers. `result` is posted when the
// handset does not answer.
void startAbort(int32_t result)
{
    engine.abortResult = result;
    switchLineSpeed(static_cast<uint32_t>(engine.chosenSpeed));
    drainWhileSending(abortSent);
    handlerSlots.onTick = abortTimeout;
    engine.retryCount = 0;
    markClock();
    sendFrame(abortFrame, wire::kAbortLength);
    enterPhase(Phase::Aborting);
}

// Reader thread, onTxEmpty.
void abortSent()
{
    handlerSlots.onTxEmpty = idleHandler;
    armReceive(&engine.responseCell, 1);
    handlerSlots.onRxComplete = abortResponse;
}

// Reader thread, onRxComplete: '>a' ends the download with 4, whatever the reason was.
void abortResponse()
{
    if (recogniseResponse() != wire::kAborted) {
        armReceive(&engine.responseCell, 1);
        return;
    }
    freezeSlots();
    clearAndSelectAdviceLine();
    printStatus("\nAbort response recieved. Download terminated\r\n");
    postResult(kResultHandsetAborted);
}

// Front end thread, onTick: 10000 ms after each send; the frame goes twice, then the
// download ends with the reason given to startAbort.
void abortTimeout()
{
    if (!hasElapsed(kAbortTimeoutMs) || handlerSlots.onTxEmpty != idleHandler)
        return;
    if (++engine.retryCount == 2) {
        const int32_t result = engine.abortResult;
        freezeSlots();
        clearAndSelectAdviceLine();
        printStatus("\nNo abort response from mobile. Download terminated\r\n");
        postResult(result);
        return;
    }
    markClock();
    drainWhileSending(abortSent);
    countRetry();
    resendLastFrame();
}

// Connection and parameter exchange: the first phase of every download.
//
// The engine repeats the inquiry "<i" until the handset answers '>i'; in gang mode it then
// waits for the operator's Continue while the handset on CH1 keeps answering. The parameter
// request tells the handset the line speed, the port follows 10 ms after the request has
// left the line, and the handset's 64-byte record decides whether and how the download goes
// on (erase, block transfer) or ends in the abort handshake.
//
// Threads. Handlers run under the engine lock, and every output releases it. So a handler
// never writes text between two steps of a state change: a time-out or Continue arriving
// meanwhile must find either the old state or the new one, never a half-made one.
#include <cstdint>

#include "engine/block_prep.h"
#include "engine/engine_kit.h"
#include "engine/handset_answer.h"
#include "engine/handlers.h"
#include "engine/release_file.h"
#include "transport/frame_io.h"
#include "transport/line_speed.h"

namespace {



// The speed code (byte 2 of engine.parameterFrame) is written each time the exchange starts
// and keeps its last value for a speed that has no code.
void writeSpeedCode(Engine& engine, int32_t speed)
{
    uint8_t* parameterFrame = engine.parameterFrame;
    switch (speed) {
    case 19200: parameterFrame[2] = wire::kSpeedCode19200; break;
    case 28800: parameterFrame[2] = wire::kSpeedCode28800; break;
    case 38400: parameterFrame[2] = wire::kSpeedCode38400; break;
    case 57600: parameterFrame[2] = wire::kSpeedCode57600; break;
    case 115200: parameterFrame[2] = wire::kSpeedCode115200; break;
    default: break;
    }
}

void refuseRecord(Engine& engine, int32_t outcome)
{
    // The texts keep the record as the handset sent it; the abort frame goes out first.
    switch (outcome) {
    case kRecordIncompatibleCode:
        startAbort(engine, kResultIncompatibleCode);
        clearAndSelectAdviceLine(engine);
        clearAndSelectPhaseLine(engine);
        printStatus(engine,
                    "\nAborted - Incompatible download code\r\nMobile code : %.7s.x\r\n"
                    "This program: DOWNLD%s\r\n",
                    reinterpret_cast<const char*>(engine.parameterRecord + wire::kRecordCodeOffset), "1.0");
        break;
    case kRecordProductMismatch:
        startAbort(engine, kResultProductMismatch);
        clearAndSelectAdviceLine(engine);
        clearAndSelectPhaseLine(engine);
        printStatus(engine,
                    "\nAborted - Product ID mismatch\r\nMobile's ID: %.4s\r\nFile's   ID: %.4s\r\n",
                    reinterpret_cast<const char*>(engine.parameterRecord),
                    reinterpret_cast<const char*>(engine.fileProductId));
        break;
    default:
        startAbort(engine, kResultProductMismatch);
        clearAndSelectAdviceLine(engine);
        clearAndSelectPhaseLine(engine);
        printStatus(engine,
                    "\nAborted - Incompatible download code\r\nUse the Erase and Download option\r\n");
        break;
    }
}

// Patch flash (and any unknown mode) has no transfer of its own: rather than leave the
// exchange repeating forever, tell the operator and close the handset's session.
void refuseMode(Engine& engine)
{
    const int32_t mode = engine.downloadMode;
    startAbort(engine, kResultProductMismatch);
    clearAndSelectAdviceLine(engine);
    clearAndSelectPhaseLine(engine);
    if (mode == kModePatch)
        printStatus(engine,
                    "\nAborted - Patch flash is not available\r\n"
                    "Use the Erase and Download option\r\n");
    else
        printStatus(engine,
                    "\nAborted - Download mode %d is not available\r\n"
                    "Use the Erase and Download option\r\n", mode);
}

// A block shorter than the handset's is never sent, so an image without one whole block would
// have the handset erased and nothing written: the handset is told to give up instead, before
// anything of its flash is touched.
void refuseShortImage(Engine& engine, int64_t imageBytes)
{
    const int32_t blockSize = engine.blockSize;
    startAbort(engine, kResultNoWholeBlock);
    clearAndSelectAdviceLine(engine);
    clearAndSelectPhaseLine(engine);
    printStatus(engine,
                "\nAborted - Image shorter than one block\r\nImage: %lld bytes, block size: %d "
                "bytes\r\nNothing was erased or written\r\n",
                static_cast<long long>(imageBytes), blockSize);
}

void acceptRecord(Engine& engine)
{
    // Nothing of an earlier download may survive into this one.
    releaseBlockBuffers(engine);
    if (engine.downloadMode != kModeEraseAndDownload && engine.downloadMode != kModeNormal) {
        refuseMode(engine);
        return;
    }
    if (!allocateBlockBuffers(engine)) {
        const int32_t blockSize = engine.blockSize;
        startAbort(engine, kResultBlockSizeTooLarge);
        clearAndSelectAdviceLine(engine);
        clearAndSelectPhaseLine(engine);
        printStatus(engine, "\nAborted - Block size %d too large\r\n", blockSize);
        return;
    }
    engine.totalBlocks = countBlocks(engine);
    const int64_t imageBytes = imageLength(engine);
    engine.unsentBytes = imageBytes < 0 ? -1 : imageBytes % engine.blockSize;
    if (imageBytes >= 0 && imageBytes < engine.blockSize) {
        refuseShortImage(engine, imageBytes);
        return;
    }
    if (engine.downloadMode == kModeEraseAndDownload)
        startErase(engine);
    else
        startBlocks(engine);
}

}  // namespace

// Runs on the front end's thread (first state of a download, gang watchdog). No time-out:
// the inquiry is repeated until a handset answers or the operator aborts. The texts come
// first: until the handlers change, the reader thread can only renew the gang mark, and a
// '>i' taken after the change then prints its own texts over these, never the reverse.
void startWaiting(Engine& engine)
{
    enterPhase(engine, Phase::Waiting);
    clearAndSelectPhaseLine(engine);
    printStatus(engine, "\nWaiting for mobile signal...\r\n");
    clearAndSelectAdviceLine(engine);
    if (engine.gangMode)
        printStatus(engine,
                    "\nConnect a mobile to CH1. \r\nCheck the LED is on and 'Signalling' is "
                    "displayed.\r\nDisconnect and reconnect it if necessary, or %s to quit\r\n",
                    "select 'Abort'");
    else
        printStatus(engine,
                    "\nConnect the mobile to the serial cable and power it up.\r\nCheck the LED "
                    "is on and 'FLASH LOADER' is displayed.\r\nPower-cycle it if necessary, or "
                    "%s to quit\r\n",
                    "select 'Abort'");

    engine.slots.onTxEmpty = repeatInquiry;
    engine.slots.onRxComplete = inquiryResponse;
    engine.slots.onTick = idleHandler;
    engine.io.armReceive(&engine.responseCell, 1);
    const WireFrame inquiry = inquiryFrame();
    engine.io.sendFrame(inquiry.bytes, inquiry.length);
}

// Reader thread, onTxEmpty: keeps the inquiry on the line, pausing 10 ms between sends.
void repeatInquiry(Engine& engine)
{
    engine.io.resendLastFrame();
    waitFor(engine, kInquiryPauseMs);
}

// Reader thread, onRxComplete.
void inquiryResponse(Engine& engine)
{
    if (recogniseResponse(engine) != wire::kPresent) {
        engine.io.armReceive(&engine.responseCell, 1);
        return;
    }
    if (engine.gangMode)
        enterGangReady(engine);
    else
        startExchange(engine);
}

// Reader thread. The state is complete before Continue is enabled, so a press that follows
// at once is taken.
void enterGangReady(Engine& engine)
{
    engine.io.armReceive(&engine.responseCell, 1);
    engine.slots.onTxEmpty = repeatInquiry;
    engine.slots.onRxComplete = gangResponse;
    engine.slots.onTick = gangWatchdog;
    markClock(engine);
    enterPhase(engine, Phase::GangReady);

    clearAndSelectPhaseLine(engine);
    printStatus(engine, "\nMobile signal received\r\n");
    clearAndSelectAdviceLine(engine);
    printStatus(engine,
                "\nConnect any other mobiles to be loaded.\r\nCheck that all the LEDs are on and "
                "they all display\r\n'Signalling', then select 'Continue'.\r\nAlternatively, "
                "select 'Abort' to abort the download\r\n");
    enableContinue(engine, 1);
}

// Reader thread, onRxComplete: every '>i' renews the mark.
void gangResponse(Engine& engine)
{
    if (recogniseResponse(engine) == wire::kPresent)
        markClock(engine);
    engine.io.armReceive(&engine.responseCell, 1);
}

// Front end thread, onTick: back to waiting after 1000 ms without '>i'.
void gangWatchdog(Engine& engine)
{
    if (!hasElapsed(engine, kGangSilenceMs))
        return;
    startWaiting(engine);
    enableContinue(engine, 0);
    // The handset may have answered while the texts were being written and the reader thread
    // may have enabled Continue before our disable: the button must follow the state.
    if (engine.phase == Phase::GangReady)
        enableContinue(engine, 1);
}

// Reader thread (single mode) or front end thread (gang mode, Continue). The one-byte
// receive of the state before stays armed; nothing is drained. The texts come first: the
// state before has no time-out that could act meanwhile, and once the request is out the
// reader thread may move on to the next state and its texts.
void startExchange(Engine& engine)
{
    enterPhase(engine, Phase::Exchanging);
    clearAndSelectAdviceLine(engine);
    clearAndSelectPhaseLine(engine);
    printStatus(engine, "\r\nExchanging parameters...\r\n");

    writeSpeedCode(engine, engine.chosenSpeed);
    engine.slots.onTxEmpty = parameterSent;
    engine.slots.onRxComplete = parameterResponse;
    engine.slots.onTick = exchangeTimeout;
    engine.retryCount = 0;
    markClock(engine);
    engine.io.sendFrame(engine.parameterFrame, wire::kParameterLength);
}

// Reader thread, onTxEmpty: the port takes the chosen speed 10 ms after the request left.
void parameterSent(Engine& engine)
{
    waitFor(engine, kSpeedSwitchPauseMs);
    switchLineSpeed(engine.io, static_cast<uint32_t>(engine.chosenSpeed));
    engine.slots.onRxComplete = parameterResponse;
    engine.slots.onTxEmpty = idleHandler;
}

// Reader thread, onRxComplete. Other letters (late '>i') are passed over: the filled
// one-byte receive stays armed.
void parameterResponse(Engine& engine)
{
    if (recogniseResponse(engine) != wire::kRecordFollows)
        return;
    engine.io.armReceive(engine.parameterRecord, wire::kParameterRecordLength);
    engine.slots.onRxComplete = parameterReply;
}

// Front end thread, onTick: 1000 ms after the request without the whole record, the
// request goes again at the initial speed; no limit.
void exchangeTimeout(Engine& engine)
{
    if (!hasElapsed(engine, kExchangeTimeoutMs) || engine.slots.onTxEmpty != idleHandler)
        return;
    engine.slots.onTxEmpty = parameterSent;
    engine.io.armReceive(&engine.responseCell, 1);
    engine.slots.onRxComplete = parameterResponse;
    markClock(engine);
    switchLineSpeed(engine.io, static_cast<uint32_t>(engine.initialSpeed));
    engine.retryCount += 1;
    countRetry(engine);
    const bool warn = engine.retryCount == 2;
    engine.io.resendLastFrame();

    if (warn) {
        clearAndSelectPhaseLine(engine);
        printStatus(engine, "\nNo response from mobile\r\n");
        clearAndSelectAdviceLine(engine);
        printStatus(engine,
                    "\nCheck the cabling and wait, or select 'Abort' to abort download\r\n");
    }
}

// Reader thread, onRxComplete: the 64 bytes of the record have arrived. Reads the release
// file and allocates the block buffers.
void parameterReply(Engine& engine)
{
    engine.recordReceived = true;
    const int32_t outcome = checkParameterRecord(engine);
    if (outcome == kRecordValid)
        acceptRecord(engine);
    else
        refuseRecord(engine, outcome);
}

void beginDownload(Engine& engine)
{
    EngineLock lock(engine);
    startWaiting(engine);
}

void pressContinue(Engine& engine)
{
    EngineLock lock(engine);
    // Only gang ready waits for Continue; a press that arrives in any other state (the
    // button raced the handset falling silent, or a late click) must not restart the
    // exchange in the middle of a download.
    if (engine.gangMode && engine.phase == Phase::GangReady)
        startExchange(engine);
}

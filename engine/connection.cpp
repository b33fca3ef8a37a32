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
#include "engine/handlers.h"
#include "engine/release_file.h"
#include "transport/frame_io.h"
#include "transport/line_speed.h"

namespace {

const uint8_t inquiryFrame[wire::kInquiryLength] = {wire::kCommandMark, wire::kInquiry};

// The speed code (byte 2) is written each time the exchange starts and keeps its last value
// for a speed that has no code.
uint8_t parameterFrame[wire::kParameterLength] = {wire::kCommandMark, wire::kParameter,
                                                  wire::kSpeedCodeAtStart,
                                                  wire::kParameterTrailer};

void writeSpeedCode(int32_t speed)
{
    switch (speed) {
    case 19200: parameterFrame[2] = wire::kSpeedCode19200; break;
    case 28800: parameterFrame[2] = wire::kSpeedCode28800; break;
    case 38400: parameterFrame[2] = wire::kSpeedCode38400; break;
    case 57600: parameterFrame[2] = wire::kSpeedCode57600; break;
    case 115200: parameterFrame[2] = wire::kSpeedCode115200; break;
    default: break;
    }
}

void refuseRecord(int32_t outcome)
{
    // The texts keep the record as the handset sent it; the abort frame goes out first.
    switch (outcome) {
    case kRecordIncompatibleCode:
        startAbort(kResultIncompatibleCode);
        clearAndSelectAdviceLine();
        clearAndSelectPhaseLine();
        printStatus("\nAborted - Incompatible download code\r\nMobile code : %.7s.x\r\n"
                    "This program: DOWNLD%s\r\n",
                    reinterpret_cast<const char*>(engine.parameterRecord + wire::kRecordCodeOffset), "1.0");
        break;
    case kRecordProductMismatch:
        startAbort(kResultProductMismatch);
        clearAndSelectAdviceLine();
        clearAndSelectPhaseLine();
        printStatus("\nAborted - Product ID mismatch\r\nMobile's ID: %.4s\r\nFile's   ID: %.4s\r\n",
                    reinterpret_cast<const char*>(engine.parameterRecord),
                    reinterpret_cast<const char*>(engine.fileProductId));
        break;
    default:
        startAbort(kResultProductMismatch);
        clearAndSelectAdviceLine();
        clearAndSelectPhaseLine();
        printStatus("\nAborted - Incompatible download code\r\nUse the Erase and Download option\r\n");
        break;
    }
}

// Patch flash (and any unknown mode) has no transfer of its own: rather than leave the
// exchange repeating forever, tell the operator and close the handset's session.
void refuseMode()
{
    const int32_t mode = engine.downloadMode;
    startAbort(kResultProductMismatch);
    clearAndSelectAdviceLine();
    clearAndSelectPhaseLine();
    if (mode == kModePatch)
        printStatus("\nAborted - Patch flash is not available\r\n"
                    "Use the Erase and Download option\r\n");
    else
        printStatus("\nAborted - Download mode %d is not available\r\n"
                    "Use the Erase and Download option\r\n", mode);
}

// A block shorter than the handset's is never sent, so an image without one whole block would
// have the handset erased and nothing written: the handset is told to give up instead, before
// anything of its flash is touched.
void refuseShortImage(int64_t imageBytes)
{
    const int32_t blockSize = engine.blockSize;
    startAbort(kResultNoWholeBlock);
    clearAndSelectAdviceLine();
    clearAndSelectPhaseLine();
    printStatus("\nAborted - Image shorter than one block\r\nImage: %lld bytes, block size: %d "
                "bytes\r\nNothing was erased or written\r\n",
                static_cast<long long>(imageBytes), blockSize);
}

void acceptRecord()
{
    // Nothing of an earlier download may survive into this one.
    releaseBlockBuffers();
    if (engine.downloadMode != kModeEraseAndDownload && engine.downloadMode != kModeNormal) {
        refuseMode();
        return;
    }
    if (!allocateBlockBuffers()) {
        const int32_t blockSize = engine.blockSize;
        startAbort(kResultBlockSizeTooLarge);
        clearAndSelectAdviceLine();
        clearAndSelectPhaseLine();
        printStatus("\nAborted - Block size %d too large\r\n", blockSize);
        return;
    }
    engine.totalBlocks = countBlocks();
    const int64_t imageBytes = imageLength();
    engine.unsentBytes = imageBytes < 0 ? -1 : imageBytes % engine.blockSize;
    if (imageBytes >= 0 && imageBytes < engine.blockSize) {
        refuseShortImage(imageBytes);
        return;
    }
    if (engine.downloadMode == kModeEraseAndDownload)
        startErase();
    else
        startBlocks();
}

}  // namespace

// Runs on the front end's thread (first state of a download, gang watchdog). No time-out:
// the inquiry is repeated until a handset answers or the operator aborts. The texts come
// first: until the handlers change, the reader thread can only renew the gang mark, and a
// '>i' taken after the change then prints its own texts over these, never the reverse.
void startWaiting()
{
    enterPhase(Phase::Waiting);
    clearAndSelectPhaseLine();
    printStatus("\nWaiting for mobile signal...\r\n");
    clearAndSelectAdviceLine();
    if (engine.gangMode)
        printStatus("\nConnect a mobile to CH1. \r\nCheck the LED is on and 'Signalling' is "
                    "displayed.\r\nDisconnect and reconnect it if necessary, or %s to quit\r\n",
                    "select 'Abort'");
    else
        printStatus("\nConnect the mobile to the serial cable and power it up.\r\nCheck the LED "
                    "is on and 'FLASH LOADER' is displayed.\r\nPower-cycle it if necessary, or "
                    "%s to quit\r\n",
                    "select 'Abort'");

    handlerSlots.onTxEmpty = repeatInquiry;
    handlerSlots.onRxComplete = inquiryResponse;
    handlerSlots.onTick = idleHandler;
    armReceive(&engine.responseCell, 1);
    sendFrame(inquiryFrame, wire::kInquiryLength);
}

// Reader thread, onTxEmpty: keeps the inquiry on the line, pausing 10 ms between sends.
void repeatInquiry()
{
    resendLastFrame();
    waitFor(kInquiryPauseMs);
}

// Reader thread, onRxComplete.
void inquiryResponse()
{
    if (recogniseResponse() != wire::kPresent) {
        armReceive(&engine.responseCell, 1);
        return;
    }
    if (engine.gangMode)
        enterGangReady();
    else
        startExchange();
}

// Reader thread. The state is complete before Continue is enabled, so a press that follows
// at once is taken.
void enterGangReady()
{
    armReceive(&engine.responseCell, 1);
    handlerSlots.onTxEmpty = repeatInquiry;
    handlerSlots.onRxComplete = gangResponse;
    handlerSlots.onTick = gangWatchdog;
    markClock();
    enterPhase(Phase::GangReady);

    clearAndSelectPhaseLine();
    printStatus("\nMobile signal received\r\n");
    clearAndSelectAdviceLine();
    printStatus("\nConnect any other mobiles to be loaded.\r\nCheck that all the LEDs are on and "
                "they all display\r\n'Signalling', then select 'Continue'.\r\nAlternatively, "
                "select 'Abort' to abort the download\r\n");
    enableContinue(1);
}

// Reader thread, onRxComplete: every '>i' renews the mark.
void gangResponse()
{
    if (recogniseResponse() == wire::kPresent)
        markClock();
    armReceive(&engine.responseCell, 1);
}

// Front end thread, onTick: back to waiting after 1000 ms without '>i'.
void gangWatchdog()
{
    if (!hasElapsed(kGangSilenceMs))
        return;
    startWaiting();
    enableContinue(0);
    // The handset may have answered while the texts were being written and the reader thread
    // may have enabled Continue before our disable: the button must follow the state.
    if (engine.phase == Phase::GangReady)
        enableContinue(1);
}

// Reader thread (single mode) or front end thread (gang mode, Continue). The one-byte
// receive of the state before stays armed; nothing is drained. The texts come first: the
// state before has no time-out that could act meanwhile, and once the request is out the
// reader thread may move on to the next state and its texts.
void startExchange()
{
    enterPhase(Phase::Exchanging);
    clearAndSelectAdviceLine();
    clearAndSelectPhaseLine();
    printStatus("\r\nExchanging parameters...\r\n");

    writeSpeedCode(engine.chosenSpeed);
    handlerSlots.onTxEmpty = parameterSent;
    handlerSlots.onRxComplete = parameterResponse;
    handlerSlots.onTick = exchangeTimeout;
    engine.retryCount = 0;
    markClock();
    sendFrame(parameterFrame, wire::kParameterLength);
}

// Reader thread, onTxEmpty: the port takes the chosen speed 10 ms after the request left.
void parameterSent()
{
    waitFor(kSpeedSwitchPauseMs);
    switchLineSpeed(static_cast<uint32_t>(engine.chosenSpeed));
    handlerSlots.onRxComplete = parameterResponse;
    handlerSlots.onTxEmpty = idleHandler;
}

// Reader thread, onRxComplete. Other letters (late '>i') are passed over: the filled
// one-byte receive stays armed.
void parameterResponse()
{
    if (recogniseResponse() != wire::kRecordFollows)
        return;
    armReceive(engine.parameterRecord, wire::kParameterRecordLength);
    handlerSlots.onRxComplete = parameterReply;
}

// Front end thread, onTick: 1000 ms after the request without the whole record, the
// request goes again at the initial speed; no limit.
void exchangeTimeout()
{
    if (!hasElapsed(kExchangeTimeoutMs) || handlerSlots.onTxEmpty != idleHandler)
        return;
    handlerSlots.onTxEmpty = parameterSent;
    armReceive(&engine.responseCell, 1);
    handlerSlots.onRxComplete = parameterResponse;
    markClock();
    switchLineSpeed(static_cast<uint32_t>(engine.initialSpeed));
    engine.retryCount += 1;
    countRetry();
    const bool warn = engine.retryCount == 2;
    resendLastFrame();

    if (warn) {
        clearAndSelectPhaseLine();
        printStatus("\nNo response from mobile\r\n");
        clearAndSelectAdviceLine();
        printStatus("\nCheck the cabling and wait, or select 'Abort' to abort download\r\n");
    }
}

// Reader thread, onRxComplete: the 64 bytes of the record have arrived. Reads the release
// file and allocates the block buffers.
void parameterReply()
{
    engine.recordReceived = true;
    const int32_t outcome = checkParameterRecord();
    if (outcome == kRecordValid)
        acceptRecord();
    else
        refuseRecord(outcome);
}

void beginDownload()
{
    EngineLock lock;
    startWaiting();
}

void pressContinue()
{
    EngineLock lock;
    // Only gang ready waits for Continue; a press that arrives in any other state (the
    // button raced the handset falling silent, or a late click) must not restart the
    // exchange in the middle of a download.
    if (engine.gangMode && engine.phase == Phase::GangReady)
        startExchange();
}

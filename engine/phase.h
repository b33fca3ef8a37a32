// Where a download stands: the phase, a named value the engine itself sets when it enters a
// state (never inferred from which handlers are stored). Front ends read it through the
// download session (session/session.h); the command-line tool shows it on every event.
//
// Which handlers (engine/handlers.h) belong to which phase:
//
//   Phase         entered by              handlers of the phase
//   Waiting       startWaiting            repeatInquiry, inquiryResponse
//   GangReady     enterGangReady          repeatInquiry, gangResponse, gangWatchdog
//   Exchanging    startExchange           parameterSent, parameterResponse, parameterReply,
//                                         exchangeTimeout
//   Erasing       startErase              eraseSent, eraseResponse, eraseTimeout
//   Writing       startBlocks, or '>e'    sendBlocksFrom, blockSent, blockResponse,
//                 after the erase         blockRefused, blockReply, blockTimeout
//   Checksumming  startChecksum           checksumSent, checksumResponse, checksumReply,
//                                         checksumTimeout
//   Aborting      startAbort              abortSent, abortResponse, abortTimeout
//   Ended         postResult, or the      (all slots idle)
//                 session's abort
//
// Ended is also the value before the first download.
#ifndef TARVOLO_ENGINE_PHASE_H
#define TARVOLO_ENGINE_PHASE_H

#include <cstdint>

enum class Phase : int32_t {
    Waiting,       // inquiring until the handset answers
    GangReady,     // gang mode: CH1 answers, waiting for the operator's Continue
    Exchanging,    // parameter request, speed switch, the handset's record
    Erasing,       // erase command until the handset reports the flash erased
    Writing,       // block transfer
    Checksumming,  // the image checksum compared with the handset's
    Aborting,      // the abort handshake after a refusal or a checksum mismatch
    Ended,         // a result was posted, or the download was abandoned
};

constexpr int kPhaseCount = 8;

// The phase's name as tools print it: "waiting", "gang_ready", "exchanging", "erasing",
// "writing", "checksumming", "aborting", "ended".
const char* phaseName(Phase phase);

#endif

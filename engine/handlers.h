// The engine's handlers: internal to the engine. Front ends drive a download through the
// session (session/session.h) and never call these; tests and the engine's own files do.
//
// The protocol states of one download, in the order the bytes flow:
//   connection.cpp  waiting for the handset, gang ready, parameter exchange
//   transfer.cpp    erase and block transfer
//   completion.cpp  checksum comparison and the abort handshake
// Each state is entered by a start* function and lives in the handlers it stores in the
// slots; engine/phase.h says which phase each handler belongs to.
#ifndef TARVOLO_ENGINE_HANDLERS_H
#define TARVOLO_ENGINE_HANDLERS_H

#include <cstdint>

// Connection and parameter exchange.
void startWaiting();
void enterGangReady();
void startExchange();
void repeatInquiry();
void inquiryResponse();
void gangResponse();
void gangWatchdog();
void parameterSent();
void parameterResponse();
void parameterReply();
void exchangeTimeout();

// Erase and block transfer.
void startErase();
void startBlocks();
void sendBlocksFrom(bool first);
void eraseSent();
void eraseResponse();
void eraseTimeout();
void blockSent();
void blockResponse();
void blockRefused();
void blockReply();
void blockTimeout();

// Completion and abort handshake.
void startChecksum();
void checksumSent();
void checksumResponse();
void checksumReply();
void checksumTimeout();
void startAbort(int32_t result);
void abortSent();
void abortResponse();
void abortTimeout();

// Entry points for the session (session/session.h); each takes the engine lock.
// The first state of a download (after initEngine): starts waiting for the handset.
void beginDownload();
// Gang mode: the operator pressed Continue (the front end has disabled the button).
void pressContinue();

#endif

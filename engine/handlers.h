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

struct Engine;

// Connection and parameter exchange.
void startWaiting(Engine& engine);
void enterGangReady(Engine& engine);
void startExchange(Engine& engine);
void repeatInquiry(Engine& engine);
void inquiryResponse(Engine& engine);
void gangResponse(Engine& engine);
void gangWatchdog(Engine& engine);
void parameterSent(Engine& engine);
void parameterResponse(Engine& engine);
void parameterReply(Engine& engine);
void exchangeTimeout(Engine& engine);

// Erase and block transfer.
void startErase(Engine& engine);
void startBlocks(Engine& engine);
void sendBlocksFrom(Engine& engine, bool first);
void eraseSent(Engine& engine);
void eraseResponse(Engine& engine);
void eraseTimeout(Engine& engine);
void blockSent(Engine& engine);
void blockResponse(Engine& engine);
void blockRefused(Engine& engine);
void blockReply(Engine& engine);
void blockTimeout(Engine& engine);

// Completion and abort handshake.
void startChecksum(Engine& engine);
void checksumSent(Engine& engine);
void checksumResponse(Engine& engine);
void checksumReply(Engine& engine);
void checksumTimeout(Engine& engine);
void startAbort(Engine& engine, int32_t result);
void abortSent(Engine& engine);
void abortResponse(Engine& engine);
void abortTimeout(Engine& engine);

// Entry points for the session (session/session.h); each takes the engine lock.
// The first state of a download (after initEngine): starts waiting for the handset.
void beginDownload(Engine& engine);
// Gang mode: the operator pressed Continue (the front end has disabled the button).
void pressContinue(Engine& engine);

#endif

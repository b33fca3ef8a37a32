// Frame I/O: the transport operations the download engine uses, and the delivery of received
// bytes into the receive that the engine armed.
//
// Frames are sent from the caller's storage and remembered by address and length, so that
// resendLastFrame can write them again: a frame's storage must outlive its resends.
//
// Every operation here runs under the engine lock (handler_slots.h); the engine's handlers
// already hold it, and the reader thread takes it for dispatchTxEmpty and deliverBytes.
// While the line is not running (lineRunning false), every send and arm does nothing.
#ifndef TARVOLO_TRANSPORT_FRAME_IO_H
#define TARVOLO_TRANSPORT_FRAME_IO_H

#include <cstdint>

#include "transport/serial_port.h"

void sendFrame(const uint8_t* bytes, uint32_t length);
void resendLastFrame();
void setLastFrameLength(uint32_t length);
void armReceive(uint8_t* destination, uint32_t count);
void rearmReceive();
bool lineRunning();

// Binds the frame I/O to an open port and marks the line running (or, with a null port,
// unbinds it). The reader thread's start and stop use these; so do tests.
void attachLine(const SerialPortOps* ops, SerialPort* port);
void setLineRunning(bool running);
// Bytes of frames written to the port since startLineCount (the reader's start calls it).
void startLineCount();
uint64_t bytesWrittenOnLine();
SerialPort* linePort();
const SerialPortOps* lineOps();

// Reader side. Runs onTxEmpty (if a handler is stored), under the engine lock.
void dispatchTxEmpty();
// Distributes n received bytes into the armed receives, in order, running onRxComplete at
// each completion. Bytes with no receive armed are dropped. Takes the engine lock.
void deliverBytes(const uint8_t* bytes, uint32_t n);

// Forgets the last frame and the armed receive (the state at program start).
void resetFrameIo();

#endif

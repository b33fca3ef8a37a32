// The reader thread: waits on the open port's events, runs onTxEmpty when a frame has left
// the line, and delivers received bytes into the engine's armed receive.
#ifndef TARVOLO_TRANSPORT_READER_H
#define TARVOLO_TRANSPORT_READER_H

#include "transport/serial_port.h"

// Binds the frame I/O to `port`, marks the line running (before the thread exists) and starts
// the reader thread. A null port (one that failed to open) is allowed: the line then runs
// with nothing to write to and nothing to read, without spinning. Returns false when the
// thread could not be created; the port is then closed and the line is not running. A reader
// of an earlier download that has not ended yet is stopped and left to end by itself.
bool startReader(const SerialPortOps* ops, SerialPort* port);

// Marks the line stopped and releases the reader's wait. Does not wait for the thread: it may
// be called from inside a handler's synchronous output. The reader thread purges and closes
// the port itself when it ends, so the port is never released under its feet. Safe to call
// more than once per download. Takes plain mutexes: call it from a thread, never from a
// signal handler.
void stopReader();

// True once the port has reported that it is gone (device removed, peer hung up) during the
// current download. The reader then stops using it and does not spin.
bool readerLostPort();

// Waits until the reader thread of the last startReader has ended (and the port is closed).
// Never call it from a handler or a front-end output.
void joinReader();

#endif

// The download session: the one interface through which a front end (the command-line tool,
// the Windows application's download dialog, a station's worker) runs a download. It owns
// the sequence every front end needs — release file, line, reader thread, engine, ticks,
// Continue, abort, and leaving nothing open — and answers what a front end may ask at any
// time: the phase, the progress, the image checksum, the result.
//
// Each session owns its engine (engine/engine_state.h): sessions in one process share no
// state and may run at the same time on different lines. A station still runs one process
// per port, so that a fault on one port cannot touch another.
//
// Threads. The engine's handlers run on the reader thread (started by start) and, for the
// time-outs, on the thread that calls tick. The front end's outputs arrive on either thread
// with no lock held, except phaseChanged (see engine/front_end.h). Every call here may be made
// from the front end's thread; abort may also be made from inside one of its own outputs,
// and haltNow from a signal handler or any other thread. end waits for the reader thread: never call it
// from an output.
#ifndef TARVOLO_SESSION_SESSION_H
#define TARVOLO_SESSION_SESSION_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/front_end.h"
#include "engine/phase.h"
#include "engine/wire.h"
#include "transport/serial_port.h"

// The line a download runs on: an open port and its operations (a wrapper such as a line
// trace will do). A null port is allowed: the download then runs with nothing to talk to.
struct Engine;

struct DownloadLine {
    const SerialPortOps* ops;
    SerialPort* port;
};

// What the operator chose.
struct DownloadChoice {
    uint32_t speed;   // line speed after the exchange: 19200, 38400, 57600 or 115200
    int32_t mode;     // DownloadMode
    bool gang;        // one line to several handsets; only CH1 answers
};

struct DownloadProgress {
    int32_t blockNumber;   // blocks handled so far
    int32_t totalBlocks;   // blocks shown to the operator
    int32_t blockSize;     // from the handset's record; 0 before it
    uint64_t bytesOnLine;  // bytes written to the line in this download
};

// What a download learned, for a record of it.
struct DownloadFacts {
    bool recordReceived;        // the handset sent its parameter record
    uint8_t record[wire::kParameterRecordLength];  // as received
    int32_t retries[kPhaseCount];  // frames sent again, by Phase
    int32_t sentChecksum;       // the image checksum sent to the handset, or -1
    int32_t reportedChecksum;   // the handset's checksum, or -1
    int32_t abortReason;        // the result the abort handshake was started with, or -1
    int64_t unsentBytes;        // image bytes after the last whole block, or -1 before the record
};

class DownloadSession {
public:
    // Outputs go to `frontEnd` (which must outlive the session) from now until end.
    explicit DownloadSession(const FrontEnd* frontEnd);
    // Ends the download if it has not been ended (see end).
    ~DownloadSession();
    DownloadSession(const DownloadSession&) = delete;
    DownloadSession& operator=(const DownloadSession&) = delete;

    // Opens the release file. False when it cannot: result 1 has then been posted (shown by
    // the front end, as any result).
    bool openRelease(const std::string& path);
    // Binds the line, starts the reader thread, initialises the engine and starts waiting for
    // the handset. False when the reader thread could not be created: the port has then been
    // closed, nothing will be sent, and the engine has only shown its first texts.
    bool start(const DownloadLine& line, const DownloadChoice& choice);
    // The front end's 500 ms tick: the time-outs.
    void tick();
    // Gang mode: the operator pressed Continue. Acts only while the phase is GangReady.
    void pressContinue();
    // Ends the download where it stands, as the operator's confirmed Abort does: from this
    // call on nothing more is sent and no handler acts; the reader thread ends and closes the
    // port by itself. Does not wait. After a result it simply lets the line go.
    void abort();
    // Waits for the reader thread to end (the port is then closed), closes the release file,
    // releases the block buffers, empties the handler slots and detaches the front end.
    // Safe to call more than once.
    void end();

    Phase phase() const;
    DownloadProgress progress() const;
    uint16_t imageChecksum() const;   // of the image read so far, of the handset's kind
    DownloadFacts facts() const;
    bool hasResult() const { return result_.load() >= 0; }
    int32_t result() const { return result_.load(); }   // a DownloadResult, or -1
    bool portLost() const;            // the port went away during the download

    // Stops all sending of every session in the process at once, from anywhere: a signal
    // handler (Ctrl-C) or another thread (a worker whose station has gone);
    // async-signal-safe. Each session's owner then calls abort and end from its own thread.
    static void haltNow();

private:
    static void onText(void* context, int32_t control, const char* text);
    static void onFine(void* context, int32_t position);
    static void onOverall(void* context, int32_t position);
    static void onContinue(void* context, int32_t enable);
    static void onResult(void* context, int32_t result);
    static void onPhase(void* context, int32_t phase);

    const FrontEnd* outer_;
    FrontEnd relay_;
    std::unique_ptr<Engine> engine_;
    std::atomic<int32_t> result_{-1};
    bool ended_ = false;
};

#endif

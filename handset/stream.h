// The handsets the pty loop serves: one for the whole run, or a stream of units (--units) that
// attach to the same port one after another. Owns each unit's protocol machine while the unit
// is attached, the records of the units gone, and the outputs (--flash-out, --report). Runs
// on the pty loop's thread; times are the loop's clock in microseconds.
//
// Principles of operation
// - Without --units: one machine from start to end; the outputs are written after each
//   download and at exit, and the report has no per-unit part, as before streams existed.
// - With --units N: unit 1 attaches at once. An attached unit is a handset in flash-loader
//   mode on the cable: it answers inquiries and plays downloads. Once one of its downloads has
//   ended (completed, refused, aborted) it stays connected --unit-stay-ms after the last such
//   end, still answering, then detaches; a unit none of whose downloads has ended detaches
//   --unit-max-ms after it attached (when set), even in mid-download. A detached unit is
//   silence: what the host sends is read and dropped. --unit-gap-ms later the next unit
//   attaches with an erased flash and its own settings (unit_options.h).
// - A download started on a unit after one of its downloads had ended is played like any
//   other and counted: the unit was flashed twice.
// - A unit with vanish-after-blocks=N takes the port with it once it has taken N blocks and
//   handed over the last acknowledgement: portPlugged() turns false, the loop sends what is on
//   its way, closes the pty, removes the link and says so (portUnplugged); --replug-ms later
//   portPlugged() is true again, the loop opens a new pty and points the link at it, and the
//   next unit attaches --unit-gap-ms after that. One with leave-after-blocks=N is taken off
//   the cable at that point instead: it detaches as a unit does, the port stays.
// - Once the last unit has detached (and the port is back) the stream is over: the loop then
//   lingers for the host to close, as after --downloads.
// - Each unit's flash goes to its own file (unitFlashPath) after each of its downloads and
//   when it detaches; the report is written at each attach, download end and detach.
#ifndef TARVOLO_HANDSET_STREAM_H
#define TARVOLO_HANDSET_STREAM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "handset/machine.h"
#include "handset/report.h"
#include "handset/unit_options.h"

class UnitStream {
public:
    // `stream` must have passed applyStream.
    UnitStream(const HandsetOptions& options, const StreamOptions& stream);
    UnitStream(const UnitStream&) = delete;
    UnitStream& operator=(const UnitStream&) = delete;

    // As HandsetMachine's: bytes the host wrote (dropped while no unit is attached), the
    // answers due, and when poll must run next (the stream's own timers included).
    void receive(const uint8_t* bytes, size_t length, int64_t nowUs, uint32_t hostSpeed);
    std::vector<Transmission> poll(int64_t nowUs, uint32_t hostSpeed);
    int64_t nextDeadline() const;
    bool answersPending() const { return machine_ && machine_->answersPending(); }
    void noteFraming(const std::string& problem);

    // False while a vanished unit's port is away; the loop closes and reopens the pty.
    bool portPlugged() const { return state_ != State::Unplugging && state_ != State::Unplugged; }
    // The loop has closed the pty (after portPlugged() turned false) at nowUs.
    void portUnplugged(int64_t nowUs);
    // The downloads asked for have ended (single handset), or the last unit has gone (stream).
    bool over() const;

    // Lines for stderr since the last call: the machine's, units attaching and detaching,
    // outputs that could not be written.
    std::vector<std::string> takeMessages();
    // Writes the attached unit's flash and the report. False when either failed (said in
    // the messages).
    bool saveOutputs();

private:
    enum class State { Attached, Gap, Unplugging, Unplugged, Over };

    bool streaming() const { return stream_.units > 0; }
    void attach(int64_t nowUs);
    void detach(int64_t nowUs, bool vanished);
    void nextUnit(int64_t nowUs);
    void track(int64_t nowUs);
    void advance(int64_t nowUs);
    // The unit has taken `limit` blocks (0: never) and its last answer is out.
    bool blocksDue(uint32_t limit) const;
    handset::UnitRecord attachedRecord() const;
    bool saveFlash(const std::string& path);
    bool saveReportNow();
    std::string unitName(uint32_t unit) const;

    HandsetOptions options_;
    StreamOptions stream_;
    std::unique_ptr<HandsetMachine> machine_;
    UnitSetup setup_;                 // of the attached unit
    handset::UnitRecord current_;              // the attached unit's fixed facts
    std::vector<handset::UnitRecord> gone_;    // the units that have detached, in order
    Report goneReport_;               // their reports summed
    FaultCounts goneFaults_;
    State state_ = State::Attached;
    int64_t untilUs_ = INT64_MAX;     // when the state's time runs out
    uint32_t endedSeen_ = 0;          // downloads of the attached machine ended so far
    std::vector<std::string> messages_;
};

#endif

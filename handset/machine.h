// The handset's side of the download protocol, without any I/O: the pty loop feeds it the
// bytes the host wrote (with the time and the host's line speed), and takes from it the
// answers to send (with the time to start and the speed to pace them at). Tests drive it the
// same way with made-up times.
//
// Principles of operation
// - Every answer is due no sooner than the frame's line time plus the turnaround; the erase
//   answer after the erase time, a write answer after the programming time; answers go out
//   one after the other, never overlapping on the line.
// - The parameter request switches the handset to the requested speed at once; the record is
//   due `switchWaitMs` after the request's line time, and goes out only when the host's line
//   shows the new speed by then (or within `switchGraceMs`); otherwise the host did not
//   switch, which is reported, and nothing is sent (a real handset would be heard as noise).
// - A frame heard at a speed other than the handset's is noise to it: reported and ignored.
//   Two exceptions follow the protocol's own recovery: a parameter request at 19200 (the
//   host's retry at the initial speed) and an inquiry at 19200 when no record is pending
//   (a new session, as after power-cycling the handset) take the handset back to 19200.
// - A download starts with a parameter request and ends when the handset has answered the
//   checksum with the host's own value, refused the completion, or heard an abort.
#ifndef TARVOLO_HANDSET_MACHINE_H
#define TARVOLO_HANDSET_MACHINE_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "handset/flash.h"
#include "handset/frame_parser.h"
#include "handset/options.h"
#include "handset/report.h"

// Bytes to write starting at startUs, one byte every ten bit times at `speed`.
struct Transmission {
    int64_t startUs = 0;
    uint32_t speed = 0;
    std::vector<uint8_t> bytes;
};

constexpr uint32_t kStartSpeed = 19200;

// The line speed of a parameter request's speed code; 0 for an unknown code.
uint32_t speedOfCode(uint8_t code);

class HandsetMachine {
public:
    explicit HandsetMachine(const HandsetOptions& options);
    HandsetMachine(const HandsetMachine&) = delete;
    HandsetMachine& operator=(const HandsetMachine&) = delete;

    // Bytes the host wrote, read at nowUs while its line was set to hostSpeed.
    void receive(const uint8_t* bytes, size_t length, int64_t nowUs, uint32_t hostSpeed);
    // The answers whose time has come, in order. hostSpeed is the host's line speed now.
    std::vector<Transmission> poll(int64_t nowUs, uint32_t hostSpeed);
    // When poll must run next: an answer due, the host's speed to watch, a quiet line to
    // check. INT64_MAX when nothing is waiting.
    int64_t nextDeadline() const;
    // When the handset's own line is free again (its last answer has left).
    int64_t lineFreeUs() const { return lineFreeUs_; }
    bool answersPending() const { return !pending_.empty(); }

    uint32_t downloadsEnded() const { return downloadsEnded_; }
    uint32_t speed() const { return speed_; }
    const Report& report() const { return report_; }
    const Flash& flash() const { return flash_; }
    const FaultPlan& faults() const { return faults_; }
    // Blocks --flash-out writes: the last download's checksum extent, else up to the highest
    // block written, at least --image-blocks.
    uint32_t flashOutBlocks() const;
    // The host's framing as its line settings show it (empty: 8N1, no flow control); a new
    // problem is reported as a violation once.
    void noteFraming(const std::string& problem);
    // The handset leaves the line (taken off the cable, or its port gone): a download still
    // running ends uncounted, as "abandoned: " and `why`, and no answer is sent any more.
    void unplug(const std::string& why);
    // Lines for stderr since the last call: violations, and with --log every frame.
    std::vector<std::string> takeMessages();

private:
    struct Pending {
        int64_t dueUs = 0;
        std::vector<uint8_t> bytes;
        uint32_t speed = 0;           // the handset's speed when the answer was decided
        uint32_t recordSpeed = 0;     // a parameter record: the speed the host must have
        bool endsDownload = false;
        std::string what;
    };

    void onFrame(const HostFrame& frame);
    bool speedAccepted(const HostFrame& frame);
    bool inDownload(const HostFrame& frame);
    void countFrame(const HostFrame& frame);
    void onInquiry(const HostFrame& frame);
    void onParameter(const HostFrame& frame);
    void onErase(const HostFrame& frame);
    void onWrite(const HostFrame& frame);
    void onChecksum(const HostFrame& frame);
    void onAbort(const HostFrame& frame);
    void answer(int64_t dueUs, std::vector<uint8_t> bytes, const std::string& what, bool endsDownload = false);
    bool pendingRecord() const;
    bool releaseRecord(Pending& p, int64_t nowUs, uint32_t hostSpeed, bool& drop);
    void endDownload(const std::string& outcome, bool counts, bool startOver = true);
    void violation(const std::string& what);
    void log(const std::string& what);
    std::vector<uint8_t> parameterRecord() const;
    DownloadRecord& current() { return report_.downloads.back(); }

    HandsetOptions options_;
    FaultPlan faults_;
    FrameParser parser_;
    Flash flash_;
    Report report_;
    std::deque<Pending> pending_;
    std::vector<std::string> messages_;

    uint32_t speed_ = kStartSpeed;
    int64_t nowUs_ = 0;
    int64_t lineFreeUs_ = 0;
    int64_t switchRequestEndUs_ = 0;    // the pending record's request, for the switch time
    bool downloadActive_ = false;
    bool recordSent_ = false;
    bool downloadCounted_ = false;      // this download's end has been counted
    uint32_t downloadsEnded_ = 0;
    uint32_t written_ = 0;              // blocks up to the highest written in this download
    std::string lastCommand_;           // kind and key of the last frame, to spot repeats
    uint32_t messagesPrinted_ = 0;
    std::string framing_;
};

#endif

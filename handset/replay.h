// Replaying a capture: the virtual handset plays the handset's side of a recorded download
// (tarvolo-handset --replay CAPTURE.pcapng). It answers the host's bytes with what the handset
// sent, in the recorded order: each recorded answer goes once the host has sent all it had sent
// before it in the recording, after the recorded pause (divided by --replay-speed) since the
// chunk before it. Every byte the host sends is compared with the recording; at the first
// that differs the replay says where, plays nothing more and lets the host run into its own
// time-outs, as a handset that does not understand would.
//
// Inquiries are the one exception: a host polls "<i" until a handset answers, as often as its
// timer and the moment the handset came make it, so a run of inquiries may be longer or
// shorter than recorded; extra or missing "<i" frames are counted, not taken as a difference.
#ifndef TARVOLO_HANDSET_REPLAY_H
#define TARVOLO_HANDSET_REPLAY_H

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/pcapng.h"

struct ReplayOptions {
    std::string capture;
    double speed = 1.0;        // recorded pauses are divided by this
    std::string link;
    double lingerMs = 10000;   // after the last answer: wait this long for the host to close
};

// The replay's logic without the pty: which answer is due when, and where the host differs.
class ReplayScript {
public:
    // False, with `error`, for a capture that holds no handset answer to play.
    bool load(const CaptureContents& contents, double speed, std::string* error);

    // Takes the host's bytes read at nowUs.
    void hostSent(const uint8_t* bytes, size_t length, int64_t nowUs);
    // The next answer's bytes when it is due at nowUs (then counted as sent), else empty.
    std::string dueAnswer(int64_t nowUs);
    // When the next answer is due (INT64_MAX: not until the host sends more, or none left).
    int64_t nextDueUs() const;

    bool differed() const { return !difference_.empty(); }
    const std::string& difference() const { return difference_; }
    bool finished() const { return next_ >= answers_.size(); }
    // Every answer played and the host sent exactly what was recorded.
    bool same() const;
    // What the replay found, in one line.
    std::string summary() const;

private:
    struct Answer {
        std::string bytes;
        size_t hostBefore = 0;   // host bytes the recording has before it
        int64_t pauseUs = 0;     // since the chunk before it, scaled
        size_t packet = 0;       // 1-based, as Wireshark numbers it
    };
    struct HostPacket {
        size_t offset = 0;       // where it starts in the host's stream
        size_t packet = 0;
        double seconds = 0;      // into the capture
    };
    void match();
    void differ(bool beyond, uint8_t sent);
    const HostPacket& packetOf(size_t offset) const;
    bool frameStart(size_t offset) const;
    bool recordedInquiryAt(size_t offset) const;

    std::vector<Answer> answers_;
    std::string host_;                         // the host's recorded stream
    std::vector<HostPacket> hostPackets_;
    std::vector<size_t> frameStarts_;          // of the host's recorded frames, ascending
    size_t next_ = 0;                          // next answer
    size_t matched_ = 0;                       // host bytes matched so far
    std::string pending_;                      // received, not yet matched
    int64_t hostReadyUs_ = 0;                  // when the host had sent all the next answer waits for
    int64_t lastSentUs_ = 0;                   // when the last answer went
    size_t extraInquiries_ = 0;
    size_t missingInquiries_ = 0;
    std::string difference_;
};

// Serves the replay on a new pty (its path printed first, `link` pointed at it) until the host
// closes the port after the last answer, the linger time ends, or `stop` becomes non-zero
// (SIGINT, SIGTERM, SIGHUP blocked by the caller). Returns the exit code: 0 when the host sent
// what the recording holds, 1 when it differed or the replay failed, 2 for a capture that
// cannot be replayed.
int runReplay(const ReplayOptions& options, volatile std::sig_atomic_t& stop);

#endif

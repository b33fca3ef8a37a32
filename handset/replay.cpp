// Replaying a capture (see replay.h).
#include "handset/replay.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "capture/frame_dissector.h"
#include "handset/pty.h"

bool ReplayScript::load(const CaptureContents& contents, double speed, std::string* error)
{
    const uint64_t first = contents.chunks.empty() ? 0 : contents.chunks.front().timeUs;
    uint64_t previous = first;
    for (size_t i = 0; i < contents.chunks.size(); ++i) {
        const CapturedChunk& c = contents.chunks[i];
        if (c.bytes.empty())
            continue;  // a comment only
        const double seconds = static_cast<double>(c.timeUs - first) / 1e6;
        if (c.outbound) {
            hostPackets_.push_back({host_.size(), i + 1, seconds});
            host_ += c.bytes;
        } else {
            const double pause = c.timeUs > previous ? static_cast<double>(c.timeUs - previous) : 0.0;
            answers_.push_back({c.bytes, host_.size(), static_cast<int64_t>(pause / speed), i + 1});
        }
        previous = c.timeUs;
    }
    // The host's frame starts, where a run of inquiries may be longer or shorter than recorded.
    frameStarts_.clear();
    size_t offset = 0;
    FrameDissector again;
    std::vector<DissectedFrame> frames;
    for (size_t i = 0; i < contents.chunks.size(); ++i) {
        frames.clear();
        again.feed(i, contents.chunks[i].outbound, contents.chunks[i].bytes, &frames);
        for (const DissectedFrame& f : frames) {
            if (!f.outbound)
                continue;
            frameStarts_.push_back(offset);
            offset += f.length;
        }
    }
    if (answers_.empty()) {
        *error = "the capture holds nothing the handset sent: there is nothing to replay";
        return false;
    }
    return true;
}

bool ReplayScript::frameStart(size_t offset) const
{
    return std::binary_search(frameStarts_.begin(), frameStarts_.end(), offset);
}

bool ReplayScript::recordedInquiryAt(size_t offset) const
{
    return offset + 1 < host_.size() && host_[offset] == '<' && host_[offset + 1] == 'i' && frameStart(offset);
}

const ReplayScript::HostPacket& ReplayScript::packetOf(size_t offset) const
{
    auto it = std::upper_bound(hostPackets_.begin(), hostPackets_.end(), offset,
                               [](size_t o, const HostPacket& p) { return o < p.offset; });
    return it == hostPackets_.begin() ? *it : *(it - 1);
}

void ReplayScript::differ(bool beyond, uint8_t sent)
{
    char text[320];
    if (beyond || hostPackets_.empty()) {
        std::snprintf(text, sizeof text,
                      "the host sent more than the recording holds: its byte %zu (0x%02X) has no "
                      "counterpart in the capture",
                      matched_, sent);
    } else {
        const HostPacket& p = packetOf(matched_);
        std::snprintf(text, sizeof text,
                      "the host's bytes first differ from the recording at byte %zu of its stream "
                      "(byte %zu of packet %zu, %.6f s into the capture): recorded 0x%02X, the host sent 0x%02X",
                      matched_, matched_ - p.offset, p.packet, p.seconds,
                      static_cast<uint8_t>(host_[matched_]), sent);
    }
    difference_ = text;
}

void ReplayScript::match()
{
    size_t used = 0;
    while (used < pending_.size() && difference_.empty()) {
        const char* b = pending_.data() + used;
        const size_t left = pending_.size() - used;
        const bool atFrame = frameStart(matched_) || matched_ >= host_.size();
        if (atFrame && b[0] == '<') {
            if (left < 2)
                break;  // the letter decides whether it is an inquiry
            const bool sentInquiry = b[1] == 'i';
            const bool recordedInquiry = recordedInquiryAt(matched_);
            if (sentInquiry && !recordedInquiry) {
                used += 2;
                ++extraInquiries_;
                continue;
            }
            if (!sentInquiry && recordedInquiry) {
                matched_ += 2;
                ++missingInquiries_;
                continue;
            }
        }
        if (matched_ >= host_.size()) {
            differ(true, static_cast<uint8_t>(b[0]));
            break;
        }
        if (b[0] != host_[matched_]) {
            differ(false, static_cast<uint8_t>(b[0]));
            break;
        }
        ++matched_;
        ++used;
    }
    pending_.erase(0, used);
}

void ReplayScript::hostSent(const uint8_t* bytes, size_t length, int64_t nowUs)
{
    if (!difference_.empty())
        return;
    const size_t before = matched_;
    pending_.append(reinterpret_cast<const char*>(bytes), length);
    match();
    if (next_ < answers_.size() && before < answers_[next_].hostBefore && matched_ >= answers_[next_].hostBefore)
        hostReadyUs_ = nowUs;
}

int64_t ReplayScript::nextDueUs() const
{
    if (!difference_.empty() || next_ >= answers_.size() || matched_ < answers_[next_].hostBefore)
        return INT64_MAX;
    return std::max(hostReadyUs_, lastSentUs_) + answers_[next_].pauseUs;
}

std::string ReplayScript::dueAnswer(int64_t nowUs)
{
    if (nowUs < nextDueUs())
        return {};
    lastSentUs_ = nowUs;
    return answers_[next_++].bytes;
}

bool ReplayScript::same() const
{
    return difference_.empty() && matched_ == host_.size() && finished();
}

std::string ReplayScript::summary() const
{
    std::string text;
    if (!difference_.empty())
        text = difference_;
    else if (same())
        text = "the host sent what the capture holds (" + std::to_string(host_.size()) + " bytes; " +
               std::to_string(answers_.size()) + " answers played)";
    else
        text = "the replay ended before the host had sent all the capture holds: " +
               std::to_string(matched_) + " of " + std::to_string(host_.size()) + " bytes, " +
               std::to_string(next_) + " of " + std::to_string(answers_.size()) + " answers played";
    if (extraInquiries_ || missingInquiries_)
        text += "; inquiries not counted as differences: " + std::to_string(extraInquiries_) +
                " more, " + std::to_string(missingInquiries_) + " fewer than recorded";
    return text;
}

namespace {

constexpr size_t kLargestCapture = 512u << 20;

int64_t monotonicUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool loadCapture(const std::string& path, CaptureContents* contents, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read the capture " + path;
        return false;
    }
    std::ostringstream whole;
    whole << in.rdbuf();
    const std::string data = whole.str();
    if (data.size() > kLargestCapture) {
        *error = path + " is larger than 512 MiB";
        return false;
    }
    if (!readPcapng(data, contents, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

// The whole answer, waiting while the pty's buffer is full. False on a write error.
bool writeAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd out{fd, POLLOUT, 0};
        poll(&out, 1, 100);
    }
    return true;
}

timespec waitUntil(int64_t nowUs, int64_t deadlineUs)
{
    const int64_t wait = std::clamp<int64_t>(deadlineUs == INT64_MAX ? 1000000 : deadlineUs - nowUs, 0, 1000000);
    return timespec{static_cast<time_t>(wait / 1000000), static_cast<long>((wait % 1000000) * 1000)};
}

}  // namespace

int runReplay(const ReplayOptions& options, volatile std::sig_atomic_t& stop)
{
    CaptureContents contents;
    ReplayScript script;
    std::string error;
    if (!loadCapture(options.capture, &contents, &error) || !script.load(contents, options.speed, &error)) {
        std::fprintf(stderr, "tarvolo-handset: replay: %s\n", error.c_str());
        return 2;
    }
    Pty pty;
    error = plugPort(pty, options.link);
    if (!error.empty()) {
        std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", pty.path.c_str());
    std::fflush(stdout);

    sigset_t waitMask;
    sigprocmask(SIG_SETMASK, nullptr, &waitMask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&waitMask, signal);
    const int64_t origin = monotonicUs();
    auto now = [origin] { return monotonicUs() - origin; };
    bool heard = false;
    bool told = false;
    int64_t lingerUntil = INT64_MAX;
    uint8_t buffer[4096];
    while (!stop && error.empty()) {
        const int64_t t = now();
        for (std::string answer = script.dueAnswer(t); !answer.empty(); answer = script.dueAnswer(t)) {
            if (!writeAll(pty.master, answer))
                error = std::string("cannot write to the pseudo-terminal: ") + std::strerror(errno);
        }
        if (script.differed() && !told) {
            std::fprintf(stderr, "tarvolo-handset: replay: %s\n", script.difference().c_str());
            told = true;
        }
        // Played out, or nothing more will be played: the host's close ends the replay.
        if (heard && lingerUntil == INT64_MAX && (script.finished() || script.differed())) {
            releaseSlave(pty);
            lingerUntil = t + static_cast<int64_t>(options.lingerMs * 1000);
        }
        if (t >= lingerUntil)
            break;
        pollfd fd{pty.master, POLLIN, 0};
        const timespec timeout = waitUntil(t, std::min(script.nextDueUs(), lingerUntil));
        const int ready = ppoll(&fd, 1, &timeout, &waitMask);
        if (ready < 0 && errno != EINTR)
            error = std::string("cannot wait on the pseudo-terminal: ") + std::strerror(errno);
        if (ready <= 0)
            continue;
        if (fd.revents & POLLIN) {
            const ssize_t n = read(pty.master, buffer, sizeof buffer);
            if (n > 0) {
                heard = true;
                script.hostSent(buffer, static_cast<size_t>(n), now());
                continue;
            }
        }
        if (fd.revents & (POLLHUP | POLLERR)) {
            if (lingerUntil != INT64_MAX)
                break;  // the host has closed the port
            usleep(10000);
        }
    }
    unplugPort(pty, options.link);
    if (!error.empty())
        std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
    std::fprintf(stderr, "tarvolo-handset: replay: %s\n", script.summary().c_str());
    return error.empty() && script.same() ? 0 : 1;
}

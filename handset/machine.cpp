// The handset's protocol machine (see machine.h): taking frames in, handing answers out, and
// the report. The answers to each kind of frame are in machine_frames.cpp.
#include "handset/machine.h"
#include "handset/machine_detail.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace {

constexpr uint32_t kMaxPrintedViolations = 100;

std::string frameName(uint8_t letter)
{
    switch (letter) {
    case 'i': return "inquiry";
    case 'p': return "parameter";
    case 'e': return "erase";
    case 'w': return "write";
    case 'c': return "checksum";
    case 'a': return "abort";
    default: return "unknown";
    }
}

}  // namespace

using namespace handset_detail;

uint32_t speedOfCode(uint8_t code)
{
    switch (code) {
    case '4': return 19200;
    case '3': return 28800;
    case '2': return 38400;
    case '1': return 57600;
    case '0': return 115200;
    default: return 0;
    }
}

HandsetMachine::HandsetMachine(const HandsetOptions& options)
    : options_(options),
      faults_(options.faults),
      parser_([this](const HostFrame& frame) { onFrame(frame); },
              [this](const std::string& problem) { violation(problem); })
{
    faults_.seed(options_.seed);
    parser_.configure(options_.blockSize, options_.blank);
    parser_.setFrameTimeout(ms(options_.frameTimeoutMs));
    flash_.setBlockSize(options_.blockSize > 0 ? static_cast<uint32_t>(options_.blockSize) : 1);
}

// ---- Input ----------------------------------------------------------------------------------

void HandsetMachine::receive(const uint8_t* bytes, size_t length, int64_t nowUs, uint32_t hostSpeed)
{
    nowUs_ = nowUs;
    if (hostSpeed && std::find(report_.speeds.begin(), report_.speeds.end(), hostSpeed) == report_.speeds.end())
        report_.speeds.push_back(hostSpeed);
    parser_.feed(bytes, length, nowUs, hostSpeed);
}

void HandsetMachine::onFrame(const HostFrame& frame)
{
    countFrame(frame);
    if (!speedAccepted(frame))
        return;
    switch (frame.letter) {
    case 'i': onInquiry(frame); break;
    case 'p': onParameter(frame); break;
    case 'e': onErase(frame); break;
    case 'w': onWrite(frame); break;
    case 'c': onChecksum(frame); break;
    case 'a': onAbort(frame); break;
    default: break;
    }
}

void HandsetMachine::countFrame(const HostFrame& frame)
{
    const std::string kind = frameName(frame.letter);
    ++report_.frames[kind];
    if (frame.letter == 'i')
        return;   // inquiries repeat by design; not retries
    std::string key = kind;
    if (frame.letter == 'w' || frame.letter == 'c')
        key += ":" + std::to_string(frame.number);
    if (frame.letter == 'p')
        key += ":" + std::to_string(frame.speedCode);
    if (key == lastCommand_)
        ++report_.retries[kind];
    lastCommand_ = key;
    char text[96];
    std::snprintf(text, sizeof text, "heard '<%c'%s at %u bit/s", frame.letter,
                  frame.letter == 'w' || frame.letter == 'c' ? (" " + hex(frame.number, 4)).c_str() : "",
                  frame.speed);
    log(text);
    for (const Pending& p : pending_)
        if (p.bytes.size() > 1 && p.bytes[1] != 'i') {
            violation("'<" + std::string(1, static_cast<char>(frame.letter)) +
                      "' arrived before the answer to the previous frame had been sent");
            break;
        }
}

bool HandsetMachine::speedAccepted(const HostFrame& frame)
{
    if (frame.speed == 0 || frame.speed == speed_)
        return true;
    if (frame.speed == kStartSpeed && frame.letter == 'p') {
        log("parameter request at the initial speed: back to 19200");
        speed_ = kStartSpeed;
        return true;
    }
    if (frame.speed == kStartSpeed && frame.letter == 'i') {
        if (pendingRecord())
            return false;   // an inquiry written just before the host switched; the host ignores '>i' now
        ++report_.restarts;
        log("inquiry at 19200 while at " + std::to_string(speed_) + " bit/s: starting over");
        endDownload("abandoned: the host started over", false);
        return true;
    }
    violation("'<" + std::string(1, static_cast<char>(frame.letter)) + "' heard at " + std::to_string(frame.speed) +
              " bit/s while the handset listens at " + std::to_string(speed_) + " bit/s (heard as noise)");
    return false;
}

bool HandsetMachine::inDownload(const HostFrame& frame)
{
    if (recordSent_)
        return true;
    violation("'<" + std::string(1, static_cast<char>(frame.letter)) +
              "' before the parameter record was sent (ignored)");
    return false;
}

// ---- Output ---------------------------------------------------------------------------------

void HandsetMachine::answer(int64_t dueUs, std::vector<uint8_t> bytes, const std::string& what, bool endsDownload)
{
    Pending p;
    p.dueUs = dueUs;
    p.bytes = std::move(bytes);
    p.what = what;
    p.endsDownload = endsDownload;
    p.speed = speed_;
    pending_.push_back(std::move(p));
}

bool HandsetMachine::pendingRecord() const
{
    return std::any_of(pending_.begin(), pending_.end(), [](const Pending& p) { return p.recordSpeed != 0; });
}

// Decides whether a due parameter record may go out: only once the host's line shows the
// new speed. Sets `drop` when the grace time has run out.
bool HandsetMachine::releaseRecord(Pending& p, int64_t nowUs, uint32_t hostSpeed, bool& drop)
{
    drop = false;
    if (hostSpeed == 0 || hostSpeed == p.recordSpeed)
        return true;
    if (nowUs < p.dueUs + ms(options_.switchGraceMs))
        return false;
    drop = true;
    const std::string text = "the host did not switch to " + std::to_string(p.recordSpeed) +
                             " bit/s: its line is at " + std::to_string(hostSpeed) + " bit/s " +
                             std::to_string((nowUs - switchRequestEndUs_) / 1000) +
                             " ms after the request (record not sent)";
    violation(text);
    return false;
}

std::vector<Transmission> HandsetMachine::poll(int64_t nowUs, uint32_t hostSpeed)
{
    nowUs_ = nowUs;
    parser_.checkQuiet(nowUs);
    if (pendingRecord() && !report_.switches.empty() && report_.switches.back().hostSwitchedAfterMs < 0 &&
        hostSpeed == report_.switches.back().to)
        report_.switches.back().hostSwitchedAfterMs =
            static_cast<double>(std::max<int64_t>(0, nowUs - switchRequestEndUs_)) / 1000.0;

    std::vector<Transmission> out;
    while (!pending_.empty() && pending_.front().dueUs <= nowUs) {
        Pending& p = pending_.front();
        if (p.recordSpeed != 0) {
            bool drop = false;
            if (!releaseRecord(p, nowUs, hostSpeed, drop)) {
                if (!drop)
                    break;
                pending_.pop_front();
                continue;
            }
            report_.switches.back().answered = true;
            recordSent_ = true;
        }
        Transmission t;
        t.startUs = std::max(p.dueUs, lineFreeUs_);
        t.speed = p.speed;
        if (faults_.fire(Fault::Noise)) {
            const std::string noise = faults_.noise();
            t.bytes.assign(noise.begin(), noise.end());
        }
        t.bytes.insert(t.bytes.end(), p.bytes.begin(), p.bytes.end());
        lineFreeUs_ = t.startUs + lineTimeUs(static_cast<int64_t>(t.bytes.size()), t.speed);
        log("answer: " + p.what);
        if (p.endsDownload)
            endDownload(current().outcome, true);
        out.push_back(std::move(t));
        pending_.pop_front();
    }
    return out;
}

int64_t HandsetMachine::nextDeadline() const
{
    int64_t deadline = parser_.quietDeadline();
    if (!pending_.empty()) {
        deadline = std::min(deadline, pending_.front().dueUs);
        if (pendingRecord())   // watch the host's line speed every millisecond until the record goes
            deadline = std::min(deadline, nowUs_ + 1000);
    }
    return deadline;
}

// Ends the current download; `startOver` takes the handset back to waiting for an inquiry at
// the initial speed.
void HandsetMachine::endDownload(const std::string& outcome, bool counts, bool startOver)
{
    if (downloadActive_ && !report_.downloads.empty())
        current().outcome = outcome;
    downloadActive_ = false;
    if (startOver) {
        recordSent_ = false;
        speed_ = kStartSpeed;
        lastCommand_.clear();
    }
    if (counts && !downloadCounted_) {
        ++downloadsEnded_;
        downloadCounted_ = true;
        log("download ended: " + outcome);
    }
}

void HandsetMachine::unplug(const std::string& why)
{
    if (downloadActive_) {
        // A checksum already answered wrong keeps that outcome; the host just never aborted.
        const std::string outcome = current().outcome;
        endDownload(outcome == "in progress" ? "abandoned: " + why : outcome, false);
    }
    pending_.clear();
}

uint32_t HandsetMachine::flashOutBlocks() const
{
    uint32_t blocks = 0;
    for (auto d = report_.downloads.rbegin(); d != report_.downloads.rend(); ++d) {
        if (d->checksumSeen) {
            blocks = d->checksumBlocks;
            break;
        }
        if (d->highestBlock >= 0) {
            blocks = static_cast<uint32_t>(d->highestBlock + 1);
            break;
        }
    }
    return std::max(blocks, options_.imageBlocks);
}

void HandsetMachine::noteFraming(const std::string& problem)
{
    if (problem != framing_ && !problem.empty())
        violation("the host's line settings are not 8N1 without flow control:" + problem);
    framing_ = problem;
}

// ---- Messages -------------------------------------------------------------------------------

void HandsetMachine::violation(const std::string& what)
{
    ++report_.violationCount;
    if (report_.violations.size() < Report::kMaxViolations)
        report_.violations.push_back({static_cast<double>(nowUs_) / 1000.0, what});
    if (messagesPrinted_ < kMaxPrintedViolations)
        messages_.push_back("protocol violation: " + what);
    else if (messagesPrinted_ == kMaxPrintedViolations)
        messages_.push_back("further protocol violations only in the report");
    ++messagesPrinted_;
}

void HandsetMachine::log(const std::string& what)
{
    if (options_.log) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%10.3f ms  ", static_cast<double>(nowUs_) / 1000.0);
        messages_.push_back(stamp + what);
    }
}

std::vector<std::string> HandsetMachine::takeMessages()
{
    std::vector<std::string> taken;
    taken.swap(messages_);
    return taken;
}

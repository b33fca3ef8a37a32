// The single handset or the stream of units the pty loop serves (see stream.h).
#include "handset/stream.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "handset/machine_detail.h"

using handset_detail::ms;

UnitStream::UnitStream(const HandsetOptions& options, const StreamOptions& stream)
    : options_(options), stream_(stream)
{
    if (streaming()) {
        attach(0);
        return;
    }
    machine_ = std::make_unique<HandsetMachine>(options_);
    current_.flashOut = options_.flashOut;
}

// ---- The host's bytes and the answers -------------------------------------------------------

void UnitStream::receive(const uint8_t* bytes, size_t length, int64_t nowUs, uint32_t hostSpeed)
{
    if (!machine_)
        return;   // nothing on the cable: the bytes go nowhere
    machine_->receive(bytes, length, nowUs, hostSpeed);
    track(nowUs);
    advance(nowUs);
}

std::vector<Transmission> UnitStream::poll(int64_t nowUs, uint32_t hostSpeed)
{
    std::vector<Transmission> out;
    if (machine_) {
        out = machine_->poll(nowUs, hostSpeed);
        track(nowUs);
    }
    advance(nowUs);
    return out;
}

int64_t UnitStream::nextDeadline() const
{
    const int64_t machine = machine_ ? machine_->nextDeadline() : INT64_MAX;
    return std::min(machine, untilUs_);
}

void UnitStream::noteFraming(const std::string& problem)
{
    if (machine_)
        machine_->noteFraming(problem);
}

bool UnitStream::over() const
{
    if (streaming())
        return state_ == State::Over;
    return options_.downloads != 0 && machine_->downloadsEnded() >= options_.downloads;
}

// A download that has ended saves the outputs and, in a stream, starts the unit's stay.
void UnitStream::track(int64_t nowUs)
{
    if (machine_->downloadsEnded() == endedSeen_)
        return;
    endedSeen_ = machine_->downloadsEnded();
    if (streaming())
        untilUs_ = nowUs + ms(stream_.stayMs);
    saveOutputs();
}

// ---- The units coming and going -------------------------------------------------------------

void UnitStream::advance(int64_t nowUs)
{
    for (;;) {
        if (state_ == State::Attached && streaming() && blocksDue(setup_.vanishAfterBlocks)) {
            detach(nowUs, true);
            continue;
        }
        if (state_ == State::Attached && streaming() && blocksDue(setup_.leaveAfterBlocks)) {
            detach(nowUs, false);
            continue;
        }
        if (nowUs < untilUs_)
            return;
        switch (state_) {
        case State::Attached: detach(nowUs, false); break;
        case State::Gap: attach(nowUs); break;
        case State::Unplugged: nextUnit(nowUs); break;
        default: untilUs_ = INT64_MAX; break;
        }
    }
}

void UnitStream::attach(int64_t nowUs)
{
    const uint32_t unit = static_cast<uint32_t>(gone_.size()) + 1;
    setupUnit(options_, stream_, unit, setup_);   // checked by applyStream before the start
    machine_ = std::make_unique<HandsetMachine>(setup_.options);
    endedSeen_ = 0;
    current_ = handset::UnitRecord{};
    current_.unit = unit;
    current_.attachedMs = static_cast<double>(nowUs) / 1000.0;
    current_.flashOut = unitFlashPath(options_.flashOut, unit);
    current_.settings = setup_.settings;
    state_ = State::Attached;
    untilUs_ = stream_.maxMs > 0 ? nowUs + ms(stream_.maxMs) : INT64_MAX;
    std::string line = unitName(unit) + " attached";
    for (size_t i = 0; i < setup_.settings.size(); ++i)
        line += (i == 0 ? " (" : ", ") + setup_.settings[i] + (i + 1 == setup_.settings.size() ? ")" : "");
    messages_.push_back(line);
    saveReportNow();
}

void UnitStream::detach(int64_t nowUs, bool vanished)
{
    machine_->unplug(vanished ? "the port went away" : "the unit was taken away");
    for (std::string& line : machine_->takeMessages())
        messages_.push_back(std::move(line));
    handset::UnitRecord record = attachedRecord();
    record.detachedMs = static_cast<double>(nowUs) / 1000.0;
    record.vanished = vanished;
    saveFlash(record.flashOut);
    mergeReport(goneReport_, machine_->report());
    addFaultCounts(goneFaults_, machine_->faults());
    machine_.reset();

    std::string line = unitName(record.unit) + " detached: " + unitResult(record) + ", " +
                       std::to_string(record.downloads.size()) + " download(s)";
    if (record.repeatedDownloads > 0)
        line += ", flashed twice";
    if (!record.flashOut.empty())
        line += ", flash in " + record.flashOut;
    messages_.push_back(line);
    gone_.push_back(std::move(record));
    if (vanished) {
        messages_.push_back("the port goes away with it (adapter unplugged) for " +
                            std::to_string(static_cast<int64_t>(stream_.replugMs)) + " ms");
        state_ = State::Unplugging;   // until the loop has closed the pty
        untilUs_ = INT64_MAX;
    } else {
        nextUnit(nowUs);
    }
    saveReportNow();
}

void UnitStream::portUnplugged(int64_t nowUs)
{
    state_ = State::Unplugged;
    untilUs_ = nowUs + ms(stream_.replugMs);
}

void UnitStream::nextUnit(int64_t nowUs)
{
    const bool last = gone_.size() >= stream_.units;
    state_ = last ? State::Over : State::Gap;
    untilUs_ = last ? INT64_MAX : nowUs + ms(stream_.gapMs);
}

bool UnitStream::blocksDue(uint32_t limit) const
{
    if (limit == 0 || machine_->answersPending())
        return false;
    uint32_t blocks = 0;
    for (const DownloadRecord& d : machine_->report().downloads)
        blocks += d.blocksWritten;
    return blocks >= limit;
}

std::string UnitStream::unitName(uint32_t unit) const
{
    return "unit " + std::to_string(unit) + " of " + std::to_string(stream_.units);
}

// ---- Outputs --------------------------------------------------------------------------------

std::vector<std::string> UnitStream::takeMessages()
{
    if (machine_)
        for (std::string& line : machine_->takeMessages())
            messages_.push_back(std::move(line));
    return std::exchange(messages_, {});
}

handset::UnitRecord UnitStream::attachedRecord() const
{
    handset::UnitRecord record = current_;
    record.downloads = machine_->report().downloads;
    record.repeatedDownloads = machine_->report().repeatedDownloads;
    addFaultCounts(record.faults, machine_->faults());
    return record;
}

bool UnitStream::saveFlash(const std::string& path)
{
    if (path.empty() || !machine_)
        return true;
    const std::string error = machine_->flash().save(path, machine_->flashOutBlocks());
    if (!error.empty())
        messages_.push_back(error);
    return error.empty();
}

bool UnitStream::saveReportNow()
{
    if (options_.report.empty())
        return true;
    std::string text;
    if (!streaming()) {
        FaultCounts faults;
        addFaultCounts(faults, machine_->faults());
        text = reportJson(machine_->report(), options_, faults, nullptr);
    } else {
        Report total = goneReport_;
        FaultCounts faults = goneFaults_;
        std::vector<handset::UnitRecord> units = gone_;
        if (machine_) {
            mergeReport(total, machine_->report());
            addFaultCounts(faults, machine_->faults());
            units.push_back(attachedRecord());
        }
        text = reportJson(total, options_, faults, &units);
    }
    const std::string error = saveReport(text, options_.report);
    if (!error.empty())
        messages_.push_back(error);
    return error.empty();
}

bool UnitStream::saveOutputs()
{
    const bool flash = saveFlash(current_.flashOut);
    return saveReportNow() && flash;
}

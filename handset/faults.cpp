// Fault schedules and their repeatable random streams (see faults.h).
#include "handset/faults.h"

#include <cstdlib>
#include <iterator>

const char* faultName(Fault fault)
{
    static const char* const kNames[kFaultCount] = {
        "eraseRefusals",  "blockRefusals",   "wrongBlockNumbers", "droppedAcks", "noise",
        "completionRefusals", "wrongChecksums", "silentInquiry", "silentParameter",
        "silentErase",    "silentBlock",     "silentChecksum",    "silentAbort"};
    return kNames[static_cast<int>(fault)];
}

namespace {

bool parseCount(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

bool parseProbability(const std::string& text, double& value)
{
    const bool percent = !text.empty() && text.back() == '%';
    const std::string number = percent ? text.substr(0, text.size() - 1) : text;
    if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    char* end = nullptr;
    value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size())
        return false;
    if (percent)
        value /= 100;
    return value > 0 && value <= 1;
}

struct NamedFault {
    const char* name;
    Fault fault;
};

const NamedFault kScheduleOptions[] = {
    {"erase-refusals", Fault::EraseRefusal},   {"block-refusals", Fault::BlockRefusal},
    {"wrong-block-numbers", Fault::WrongBlockNumber}, {"drop-acks", Fault::DroppedAck},
    {"noise", Fault::Noise},                   {"completion-refusals", Fault::CompletionRefusal},
    {"wrong-checksum", Fault::WrongChecksum}};

const NamedFault kSilentPhases[] = {
    {"inquiry", Fault::SilentInquiry}, {"parameter", Fault::SilentParameter}, {"erase", Fault::SilentErase},
    {"block", Fault::SilentBlock},     {"checksum", Fault::SilentChecksum},   {"abort", Fault::SilentAbort}};

const NamedFault* find(const NamedFault* begin, const NamedFault* end, const std::string& name)
{
    for (const NamedFault* f = begin; f != end; ++f)
        if (name == f->name)
            return f;
    return nullptr;
}

std::string setSilent(FaultPlan& plan, const std::string& item)
{
    const size_t equals = item.find('=');
    const NamedFault* phase = find(std::begin(kSilentPhases), std::end(kSilentPhases), item.substr(0, equals));
    if (!phase)
        return "silent " + item + ": unknown phase (inquiry, parameter, erase, block, checksum or abort)";
    FaultSchedule s;
    std::string error;
    if (equals == std::string::npos)
        s.always = true;
    else if (!parseFaultSchedule(item.substr(equals + 1), s, error))
        return "silent " + item + ": " + error;
    plan.set(phase->fault, s);
    return {};
}

}  // namespace

bool isScheduleOption(const std::string& name)
{
    return find(std::begin(kScheduleOptions), std::end(kScheduleOptions), name) != nullptr;
}

std::string setFaultOption(FaultPlan& plan, const std::string& name, const std::string& value, bool& known)
{
    known = true;
    if (name == "silent")
        return setSilent(plan, value);
    if (name == "unanswered-abort") {
        FaultSchedule always;
        always.always = true;
        plan.set(Fault::SilentAbort, always);
        return {};
    }
    const NamedFault* option = find(std::begin(kScheduleOptions), std::end(kScheduleOptions), name);
    known = option != nullptr;
    if (!known)
        return name + ": not a fault";
    FaultSchedule s;
    std::string error;
    if (!parseFaultSchedule(value, s, error))
        return name + ": " + error;
    plan.set(option->fault, s);
    return {};
}

bool parseFaultSchedule(const std::string& text, FaultSchedule& schedule, std::string& error)
{
    schedule = FaultSchedule{};
    if (text == "all" || text == "always") {
        schedule.always = true;
        return true;
    }
    if (text.find('.') != std::string::npos || (!text.empty() && text.back() == '%')) {
        if (parseProbability(text, schedule.probability))
            return true;
        error = "a probability must lie in (0, 1] or (0%, 100%]: " + text;
        return false;
    }
    const size_t at = text.find('@');
    const std::string count = text.substr(0, at);
    if (parseCount(count, schedule.count) &&
        (at == std::string::npos || (parseCount(text.substr(at + 1), schedule.first) && schedule.first >= 1)))
        return true;
    error = "expected N, N@K (K from 1), all, or a probability such as 0.1 or 10%: " + text;
    schedule = FaultSchedule{};
    return false;
}

void FaultPlan::seed(uint64_t seed)
{
    for (int i = 0; i < kFaultCount; ++i)
        streams_[static_cast<size_t>(i)].seed(seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(i) + 1);
    noiseStream_.seed(seed ^ 0xA5A5A5A5A5A5A5A5ull);
}

bool FaultPlan::fire(Fault fault)
{
    const size_t i = index(fault);
    const FaultSchedule& s = schedules_[i];
    const uint32_t chance = ++chances_[i];
    bool fires = false;
    if (s.always)
        fires = true;
    else if (s.probability > 0)
        fires = std::uniform_real_distribution<double>(0, 1)(streams_[i]) < s.probability;
    else if (s.count > 0)
        fires = chance >= s.first && chance - s.first < s.count;
    if (fires)
        ++injected_[i];
    return fires;
}

std::string FaultPlan::noise()
{
    std::string bytes;
    std::uniform_int_distribution<int> byte(0, 254);
    for (uint32_t i = 0; i < noiseBytes; ++i) {
        int b = byte(noiseStream_);
        if (b >= '>')
            ++b;   // skips '>', keeps the rest uniform
        bytes.push_back(static_cast<char>(b));
    }
    return bytes;
}

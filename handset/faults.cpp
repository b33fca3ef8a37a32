// Fault schedules and their repeatable random streams (see faults.h).
#include "handset/faults.h"

#include <cstdlib>

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

}  // namespace

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

// The outcome words and the unit filter shared by every back end and reader.
#include "record/unit_record.h"

namespace {

struct OutcomeName {
    UnitOutcome outcome;
    const char* word;
};

constexpr OutcomeName kOutcomes[] = {
    {UnitOutcome::Completed, "completed"},
    {UnitOutcome::Failed, "failed"},
    {UnitOutcome::Interrupted, "interrupted"},
    {UnitOutcome::PortLost, "port-lost"},
};

}  // namespace

std::string hexBytes(const uint8_t* bytes, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 15];
    }
    return hex;
}

const char* outcomeWord(UnitOutcome outcome)
{
    for (const OutcomeName& o : kOutcomes)
        if (o.outcome == outcome)
            return o.word;
    return "failed";
}

bool outcomeFromWord(const std::string& word, UnitOutcome* outcome)
{
    for (const OutcomeName& o : kOutcomes) {
        if (word == o.word) {
            *outcome = o.outcome;
            return true;
        }
    }
    return false;
}

bool unitMatches(const UnitRecord& unit, const UnitFilter& filter)
{
    if (!filter.sinceUtc.empty() && unit.startedUtc < filter.sinceUtc)
        return false;
    if (!filter.port.empty() && unit.portSelector != filter.port && unit.device != filter.port)
        return false;
    if (!filter.label.empty() && unit.label != filter.label)
        return false;
    return !filter.notCompleted || unit.outcome != UnitOutcome::Completed;
}

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
    return !filter.notCompleted || unit.outcome != UnitOutcome::Completed;
}

// The summary figures of a list of units (summary.h).
#include "record/summary.h"

#include <algorithm>
#include <map>
#include <utility>

namespace {

bool isFailure(UnitOutcome o) { return o == UnitOutcome::Failed || o == UnitOutcome::PortLost; }

template <typename T>
void mostFirst(std::vector<T>* rows)
{
    std::stable_sort(rows->begin(), rows->end(),
                     [](const T& a, const T& b) { return a.count > b.count; });
}

void countFailures(const std::vector<UnitRecord>& units, UnitSummary* s)
{
    std::map<std::string, int64_t> byPort;
    std::map<std::pair<int64_t, int64_t>, ResultFailures> byResult;
    for (const UnitRecord& u : units) {
        if (!isFailure(u.outcome))
            continue;
        ++byPort[u.portSelector];
        const std::pair<int64_t, int64_t> key{u.resultCode, u.abortReason.value_or(-1)};
        auto found = byResult.try_emplace(
            key, ResultFailures{u.resultCode, u.resultMeaning, 0, u.abortReason});
        ++found.first->second.count;
    }
    for (const auto& [port, count] : byPort)
        s->failuresByPort.push_back({port, count});
    for (const auto& [code, row] : byResult)
        s->failuresByResult.push_back(row);
    mostFirst(&s->failuresByPort);
    mostFirst(&s->failuresByResult);
}

}  // namespace

std::optional<int64_t> nearestRank(std::vector<int64_t> values, int percent)
{
    if (values.empty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    // ceil(percent / 100 * n) in whole numbers: no rounding can move the rank.
    const size_t rank = (static_cast<size_t>(percent) * values.size() + 99) / 100;
    return values[std::min(std::max<size_t>(rank, 1), values.size()) - 1];
}

UnitSummary summarise(const std::vector<UnitRecord>& units)
{
    UnitSummary s;
    std::vector<int64_t> durations;
    int64_t totalMs = 0;
    for (const UnitRecord& u : units) {
        ++s.units;
        s.completed += u.outcome == UnitOutcome::Completed;
        s.failed += isFailure(u.outcome);
        s.interrupted += u.outcome == UnitOutcome::Interrupted;
        durations.push_back(u.durationMs);
        totalMs += u.durationMs;
    }
    if (s.completed + s.failed > 0)
        s.passRate = static_cast<double>(s.completed) / static_cast<double>(s.completed + s.failed);
    if (!durations.empty()) {
        s.meanSeconds = static_cast<double>(totalMs) / 1000.0 / static_cast<double>(durations.size());
        s.p95Seconds = static_cast<double>(*nearestRank(durations, 95)) / 1000.0;
    }
    countFailures(units, &s);
    return s;
}

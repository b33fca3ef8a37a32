// The JSON form of the handset's report (see report.h).
#include "handset/report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "handset/faults.h"
#include "handset/options.h"
#include "output/json_line.h"
#include "output/shown_text.h"

namespace {

nlohmann::json downloadJson(const DownloadRecord& d)
{
    nlohmann::json j = {{"speed", d.speed},
                        {"erased", d.erased},
                        {"blocksWritten", d.blocksWritten},
                        {"highestBlock", d.highestBlock},
                        {"outcome", d.outcome}};
    if (d.checksumSeen) {
        j["hostChecksum"] = hex4(d.hostChecksum);
        j["ownChecksum"] = hex4(d.ownChecksum);
        j["checksumBlocks"] = d.checksumBlocks;
        j["trailingBlankBlocks"] = d.trailingBlankBlocks;
    }
    return j;
}

// The result a download's outcome counts as; empty for one that has not ended.
std::string resultOf(const std::string& outcome)
{
    if (outcome == "completed")
        return outcome;
    if (outcome == "completion refused (fault)" || outcome == "checksum mismatch")
        return "refused";
    if (outcome.rfind("aborted", 0) == 0)
        return "aborted";
    return {};
}

nlohmann::json unitJson(const handset::UnitRecord& u)
{
    nlohmann::json j = {{"unit", u.unit},
                        {"attachedMs", u.attachedMs},
                        {"detachedMs", u.detachedMs < 0 ? nlohmann::json() : nlohmann::json(u.detachedMs)},
                        {"downloadsStarted", u.downloads.size()},
                        {"result", unitResult(u)},
                        {"outcomes", nlohmann::json::array()},
                        {"flashOut", u.flashOut},
                        {"checksum", nullptr},
                        {"faults", u.faults.empty() ? nlohmann::json::object() : nlohmann::json(u.faults)},
                        {"settings", u.settings},
                        {"flashedTwice", u.repeatedDownloads > 0}};
    for (const DownloadRecord& d : u.downloads)
        j["outcomes"].push_back(d.outcome);
    // The handset's own checksum of the download that decided the result (else the last one seen).
    for (const DownloadRecord& d : u.downloads)
        if (d.checksumSeen) {
            j["checksum"] = hex4(d.ownChecksum);
            if (!resultOf(d.outcome).empty())
                break;
        }
    return j;
}

}  // namespace

void addFaultCounts(FaultCounts& counts, const FaultPlan& plan)
{
    for (int i = 0; i < kFaultCount; ++i) {
        const Fault fault = static_cast<Fault>(i);
        if (plan.schedule(fault).enabled() || plan.injected(fault) > 0)
            counts[faultName(fault)] += plan.injected(fault);
    }
}

void mergeReport(Report& into, const Report& from)
{
    for (const auto& [kind, count] : from.frames)
        into.frames[kind] += count;
    for (const auto& [kind, count] : from.retries)
        into.retries[kind] += count;
    for (uint32_t speed : from.speeds)
        if (std::find(into.speeds.begin(), into.speeds.end(), speed) == into.speeds.end())
            into.speeds.push_back(speed);
    into.switches.insert(into.switches.end(), from.switches.begin(), from.switches.end());
    into.downloads.insert(into.downloads.end(), from.downloads.begin(), from.downloads.end());
    into.restarts += from.restarts;
    into.repeatedDownloads += from.repeatedDownloads;
    into.violationCount += from.violationCount;
    for (const Violation& v : from.violations)
        if (into.violations.size() < Report::kMaxViolations)
            into.violations.push_back(v);
}

std::string unitResult(const handset::UnitRecord& unit)
{
    if (unit.vanished)
        return "vanished";
    for (const DownloadRecord& d : unit.downloads)
        if (!resultOf(d.outcome).empty())
            return resultOf(d.outcome);
    const bool attached = unit.detachedMs < 0;
    if (unit.downloads.empty())
        return attached ? "waiting" : "never started";
    return attached && unit.downloads.back().outcome == "in progress" ? "in progress" : "abandoned";
}

std::string reportJson(const Report& report, const HandsetOptions& options, const FaultCounts& faults,
                       const std::vector<handset::UnitRecord>* units)
{
    nlohmann::json j;
    j["record"] = {{"productId", options.productId},
                   {"protocol", std::string(1, options.protocol)},
                   {"downloadCode", options.downloadCode.empty() ? "DOWNLD" + std::string(1, options.protocol)
                                                                 : options.downloadCode},
                   {"blockSize", options.blockSize},
                   {"blank", options.blank}};
    j["frames"] = report.frames;
    j["retries"] = report.retries;
    j["speeds"] = report.speeds;
    j["speedSwitches"] = nlohmann::json::array();
    for (const SpeedSwitch& s : report.switches)
        j["speedSwitches"].push_back({{"to", s.to},
                                      {"hostSwitchedAfterMs", s.hostSwitchedAfterMs},
                                      {"answered", s.answered}});
    j["downloads"] = nlohmann::json::array();
    j["checksums"] = nlohmann::json::array();
    for (const DownloadRecord& d : report.downloads) {
        j["downloads"].push_back(downloadJson(d));
        if (d.checksumSeen)
            j["checksums"].push_back({{"host", hex4(d.hostChecksum)}, {"own", hex4(d.ownChecksum)}});
    }
    j["faults"] = faults.empty() ? nlohmann::json::object() : nlohmann::json(faults);
    j["restarts"] = report.restarts;
    j["violationCount"] = report.violationCount;
    j["violations"] = nlohmann::json::array();
    for (const Violation& v : report.violations)
        j["violations"].push_back({{"atMs", v.atMs}, {"what", v.what}});
    if (units) {
        j["units"] = nlohmann::json::array();
        for (const handset::UnitRecord& unit : *units)
            j["units"].push_back(unitJson(unit));
    }
    return jsonLine(j, 2) + "\n";
}

std::string saveReport(const std::string& text, const std::string& path)
{
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !(out << text) || !out.flush()) {
            const std::string reason = std::strerror(errno);
            std::remove(temporary.c_str());
            return "cannot write " + path + ": " + reason;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temporary.c_str());
        return "cannot write " + path + ": " + reason;
    }
    return {};
}

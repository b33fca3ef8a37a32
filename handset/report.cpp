// The JSON form of the handset's report (see report.h).
#include "handset/report.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "handset/options.h"

namespace {

std::string hex4(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

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

}  // namespace

std::string reportJson(const Report& report, const HandsetOptions& options, const FaultPlan& faults)
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
    j["faults"] = nlohmann::json::object();
    for (int i = 0; i < kFaultCount; ++i) {
        const Fault fault = static_cast<Fault>(i);
        if (faults.schedule(fault).enabled() || faults.injected(fault) > 0)
            j["faults"][faultName(fault)] = faults.injected(fault);
    }
    j["restarts"] = report.restarts;
    j["violationCount"] = report.violationCount;
    j["violations"] = nlohmann::json::array();
    for (const Violation& v : report.violations)
        j["violations"].push_back({{"atMs", v.atMs}, {"what", v.what}});
    return j.dump(2) + "\n";
}

std::string saveReport(const Report& report, const HandsetOptions& options, const FaultPlan& faults,
                       const std::string& path)
{
    const std::string text = reportJson(report, options, faults);
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

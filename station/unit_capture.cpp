// One unit's capture (see unit_capture.h).
#include "station/unit_capture.h"

#include <filesystem>
#include <system_error>

#include "record/uuid7.h"

namespace {

std::unique_ptr<CaptureRecorder> recorderFor(const CaptureStorePolicy& policy)
{
    if (policy.folder.empty())
        return nullptr;
    return std::make_unique<CaptureRecorder>(static_cast<size_t>(policy.unitLimitBytes));
}

}  // namespace

UnitCapture::UnitCapture(const CaptureStorePolicy& policy, const DownloadLine& below)
    : policy_(policy), recorder_(recorderFor(policy)), tap_(below, recorder_.get())
{
}

std::string UnitCapture::keep(UnitRecord* unit)
{
    if (!recorder_ || (unit->outcome == UnitOutcome::Completed && !policy_.keepAll))
        return {};
    if (unit->attemptUuid.empty())
        unit->attemptUuid = uuid7ForRow(unit->startedUtc);
    const std::string name = unit->attemptUuid + ".pcapng";
    std::error_code ec;
    std::filesystem::create_directories(policy_.folder, ec);
    std::string error;
    if (!isCaptureName(name))
        return "the unit's id cannot name a capture: " + name;
    if (!recorder_->saveTo((std::filesystem::path(policy_.folder) / name).string(), &error))
        return error;
    unit->capture = "captures/" + name;
    pruneCaptures(policy_);
    return {};
}

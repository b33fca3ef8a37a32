// Sample rows and scratch folders (samples.h).
#include "tests/record/samples.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

StationRun sampleRun()
{
    StationRun r;
    r.stationId = "line-3";
    r.operatorName = "R. Okafor";
    r.lot = "LOT-2026-0412";
    r.startedUtc = "2026-12-07T08:00:00.000Z";
    r.releaseFile = "phone v2,final.rel";
    r.releaseSha256 = std::string(64, 'a');
    r.fileProductId = "PX\\x017";
    r.mode = "erase";
    r.speed = 115200;
    r.portSelectors = {"usb:1-1.2", "/dev/ttyUSB1", "with \"quote\""};
    r.toolVersion = "tarvolo 1.6";
    r.toolSha256 = std::string(64, 'b');
    return r;
}

UnitRecord sampleUnit(int64_t runId, int64_t sequence, int port, int minute)
{
    char started[40], ended[40];
    std::snprintf(started, sizeof started, "2026-12-07T%02d:%02d:00.250Z", 9 + minute / 60, minute % 60);
    std::snprintf(ended, sizeof ended, "2026-12-07T%02d:%02d:42.750Z", 9 + minute / 60, minute % 60);
    UnitRecord u;
    u.runId = runId;
    u.sequence = sequence;
    u.stationId = "line-3";
    u.operatorName = "R. Okafor";
    u.lot = "LOT-2026-0412";
    u.portSelector = "usb:1-1." + std::to_string(port);
    u.device = "/dev/ttyUSB" + std::to_string(port);
    u.usbId = "0403:6001";
    u.usbSerial = "FT" + std::to_string(1000 + sequence);
    u.usbLocation = "1-1." + std::to_string(port);
    u.startedUtc = started;
    u.endedUtc = ended;
    u.durationMs = 42500;
    u.releaseFile = "phone v2,final.rel";
    u.releaseSha256 = std::string(64, 'a');
    u.fileProductId = "PX\\x017";
    u.announced = AnnouncedRecord{"PX\\x017", "DOWNLD1", 1024, 255, "crc-16/x-25"};
    u.mode = "erase";
    u.speed = 115200;
    u.resultCode = 0;
    u.resultMeaning = "download completed";
    u.outcome = UnitOutcome::Completed;
    u.expectedChecksum = 0x1A2B;
    u.reportedChecksum = 0x1A2B;
    u.retries = PhaseRetries{1, 2, 3, 4, 5};
    u.toolVersion = "tarvolo 1.6";
    u.toolSha256 = std::string(64, 'b');
    return u;
}

UnitRecord failedUnit(int64_t runId, int64_t sequence, int port, int minute)
{
    UnitRecord u = sampleUnit(runId, sequence, port, minute);
    u.resultCode = 6;
    u.resultMeaning = "the handset refused the completion, or the checksums differ";
    u.outcome = UnitOutcome::Failed;
    u.reportedChecksum = 0x0BAD;
    return u;
}

ScratchDir::ScratchDir()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name)
        if (c == '/')
            c = '-';
    path_ = std::filesystem::temp_directory_path() /
            ("tarvolo-record-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

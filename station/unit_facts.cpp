// A unit's row from what the worker knows (see unit_facts.h).
#include "station/unit_facts.h"

#include <cstdio>

#include "engine/phase.h"
#include "engine/wire.h"
#include "output/shown_text.h"
#include "session/results.h"

namespace {

AnnouncedRecord announced(const uint8_t* record)
{
    AnnouncedRecord a;
    a.productId = shownBytes(record, 4);
    a.downloadCode = shownBytes(record + wire::kRecordCodeOffset, wire::kRecordCodeLength);
    a.blockSize = wire::recordBlockSize(record);
    a.blankByte = record[wire::kRecordBlankByteOffset];
    switch (record[wire::kRecordProtocolOffset]) {
    case '0': a.checksumKind = "crc-16/x-25"; break;
    case '1': a.checksumKind = "byte-sum"; break;
    default:
        a.checksumKind = "unknown " + shownBytes(record + wire::kRecordProtocolOffset, 1);
        break;
    }
    return a;
}

int64_t retriesOf(const DownloadFacts& facts, Phase phase)
{
    return facts.retries[static_cast<int>(phase)];
}

}  // namespace

void describePort(const PortInfo& port, UnitRecord* unit)
{
    unit->device = port.device;
    if (port.hasUsbId) {
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", port.vendorId, port.productId);
        unit->usbId = id;
    }
    unit->usbSerial = port.serialNumber;
    unit->usbLocation = port.location;
    unit->adapterDriver = port.driver;
    if (port.latencyTimerMs)
        unit->adapterLatencyMs = *port.latencyTimerMs;
}

void describeDownload(const DownloadFacts& facts, UnitRecord* unit)
{
    if (facts.recordReceived) {
        unit->announced = announced(facts.record);
        unit->parameterRecord = hexBytes(facts.record, sizeof facts.record);
    }
    if (facts.sentChecksum >= 0)
        unit->expectedChecksum = facts.sentChecksum;
    if (facts.reportedChecksum >= 0)
        unit->reportedChecksum = facts.reportedChecksum;
    if (facts.abortReason >= 0)
        unit->abortReason = facts.abortReason;
    if (facts.unsentBytes >= 0)
        unit->unsentBytes = facts.unsentBytes;
    unit->retries.exchange = retriesOf(facts, Phase::Waiting) + retriesOf(facts, Phase::GangReady) +
                             retriesOf(facts, Phase::Exchanging);
    unit->retries.erase = retriesOf(facts, Phase::Erasing);
    unit->retries.blocks = retriesOf(facts, Phase::Writing);
    unit->retries.checksum = retriesOf(facts, Phase::Checksumming);
    unit->retries.abort = retriesOf(facts, Phase::Aborting);
}

void describeResult(int code, UnitRecord* unit)
{
    unit->resultCode = code;
    unit->resultMeaning = resultMeaning(code);
    switch (code) {
    case kResultCompleted: unit->outcome = UnitOutcome::Completed; break;
    case kExitPortLost: unit->outcome = UnitOutcome::PortLost; break;
    case kExitInterrupted: unit->outcome = UnitOutcome::Interrupted; break;
    default: unit->outcome = UnitOutcome::Failed; break;
    }
}

// The handset's answer to each kind of host frame, in the order of a download: inquiry,
// parameter exchange, erase, blocks, checksum, abort (see machine.h).
#include <algorithm>

#include "engine/wire.h"
#include "handset/machine.h"
#include "handset/machine_detail.h"

using namespace handset_detail;

std::vector<uint8_t> HandsetMachine::parameterRecord() const
{
    std::vector<uint8_t> record(64, options_.recordFiller);
    std::fill_n(record.begin(), 4, 0x00);
    std::fill_n(record.begin() + wire::kRecordCodeOffset, wire::kRecordCodeLength, 0x00);
    std::copy_n(options_.productId.begin(), std::min<size_t>(4, options_.productId.size()), record.begin());
    std::string code = options_.downloadCode.empty() ? "DOWNLD" + std::string(1, options_.protocol)
                                                     : options_.downloadCode;
    std::copy_n(code.begin(), std::min<size_t>(wire::kRecordCodeLength, code.size()),
                record.begin() + wire::kRecordCodeOffset);
    const uint32_t size = static_cast<uint32_t>(options_.blockSize);
    for (uint32_t i = 0; i < 4; ++i)
        record[wire::kRecordBlockSizeOffset + i] = static_cast<uint8_t>(size >> (8 * i));
    record[wire::kRecordBlankByteOffset] = options_.blank;
    return record;
}

// ---- Frames ---------------------------------------------------------------------------------

void HandsetMachine::onInquiry(const HostFrame& frame)
{
    if (faults_.fire(Fault::SilentInquiry))
        return;
    if (pendingRecord())
        return;
    if (downloadActive_ || recordSent_)
        endDownload("abandoned: the host started over", false);
    for (const Pending& p : pending_)
        if (p.bytes == bytesOf(">i"))
            return;   // one answer on its way serves the inquiries repeated meanwhile
    answer(frame.endUs + ms(options_.turnaroundMs), bytesOf(">i"), "present");
}

void HandsetMachine::onParameter(const HostFrame& frame)
{
    if (faults_.fire(Fault::SilentParameter))
        return;
    const uint32_t newSpeed = speedOfCode(frame.speedCode);
    if (newSpeed == 0) {
        violation("parameter request with unknown speed code " + hex(frame.speedCode, 2) + " (not answered)");
        return;
    }
    if (frame.trailer != 0xFF)
        violation("parameter request ends with " + hex(frame.trailer, 2) + " instead of 0xFF");
    if (!downloadActive_) {
        if (downloadsEnded_ > 0)
            ++report_.repeatedDownloads;   // the same handset flashed once more
        report_.downloads.emplace_back();
        downloadActive_ = true;
        downloadCounted_ = false;
        recordSent_ = false;
        written_ = 0;
    }
    // A request repeated before its record went out replaces the older one.
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [](const Pending& p) { return p.recordSpeed != 0; }),
                   pending_.end());
    current().speed = newSpeed;
    speed_ = newSpeed;
    switchRequestEndUs_ = frame.endUs;
    SpeedSwitch change;
    change.to = newSpeed;
    report_.switches.push_back(change);

    Pending p;
    p.dueUs = frame.endUs + ms(std::max(options_.turnaroundMs, options_.switchWaitMs));
    p.bytes = bytesOf(">p");
    const std::vector<uint8_t> record = parameterRecord();
    p.bytes.insert(p.bytes.end(), record.begin(), record.end());
    p.recordSpeed = newSpeed;
    p.speed = newSpeed;
    p.what = "parameter record at " + std::to_string(newSpeed) + " bit/s";
    pending_.push_back(std::move(p));
}

void HandsetMachine::onErase(const HostFrame& frame)
{
    if (faults_.fire(Fault::SilentErase) || !inDownload(frame))
        return;
    if (faults_.fire(Fault::EraseRefusal)) {
        answer(frame.endUs + ms(options_.turnaroundMs), bytesOf(">E"), "erase refused (fault)");
        return;
    }
    flash_.erase();
    current().erased = true;
    answer(frame.endUs + ms(options_.eraseMs), bytesOf(">e"), "erased");
}

void HandsetMachine::onWrite(const HostFrame& frame)
{
    if (faults_.fire(Fault::SilentBlock) || !inDownload(frame))
        return;
    const uint16_t number = frame.number;
    const std::string name = "block " + std::to_string(number);
    const int64_t due = frame.endUs + ms(options_.turnaroundMs + options_.writeMs);
    for (const std::string& problem : frame.payload->problems())
        violation(name + ": " + problem);
    if (frame.payload->overran()) {
        answer(frame.endUs + ms(options_.turnaroundMs), {'>', 'W', static_cast<uint8_t>(number)},
               name + " refused: its payload overruns the block");
        return;
    }
    if (options_.protocol == '0' && !current().erased)
        violation(name + " written before the erase (the record asks for erase and download)");
    if (current().highestBlock > number)
        violation(name + " sent after block " + std::to_string(current().highestBlock));
    const std::vector<uint8_t>& block = frame.payload->block();
    if (std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; }))
        violation(name + " is blank (all 0xFF), yet it was sent");
    if (faults_.fire(Fault::BlockRefusal)) {
        answer(frame.endUs + ms(options_.turnaroundMs), {'>', 'W', static_cast<uint8_t>(number)},
               name + " refused (fault)");
        return;
    }
    flash_.write(number, block);
    ++current().blocksWritten;
    current().highestBlock = std::max<int64_t>(current().highestBlock, number);
    written_ = std::max<uint32_t>(written_, number + 1u);
    if (faults_.fire(Fault::DroppedAck)) {
        log(name + " written, acknowledgement dropped (fault)");
        return;
    }
    uint16_t acked = number;
    if (faults_.fire(Fault::WrongBlockNumber))
        acked = static_cast<uint16_t>(number + 1);
    answer(due, {'>', 'w', static_cast<uint8_t>(acked >> 8), static_cast<uint8_t>(acked)},
           name + " written" + (acked != number ? ", acknowledged as " + std::to_string(acked) + " (fault)" : ""));
}

void HandsetMachine::onChecksum(const HostFrame& frame)
{
    if (faults_.fire(Fault::SilentChecksum) || !inDownload(frame))
        return;
    const ChecksumAnswer own = flash_.answer(options_.protocol == '0', written_, options_.imageBlocks,
                                             options_.maxTrailingBlank, frame.number);
    DownloadRecord& d = current();
    d.checksumSeen = true;
    d.hostChecksum = frame.number;
    d.ownChecksum = own.value;
    d.checksumBlocks = own.blocks;
    d.trailingBlankBlocks = own.trailingBlank;
    if (own.trailingBlank > 0)
        log("checksum covers " + std::to_string(own.trailingBlank) + " trailing blank block(s) the host never sent");
    const int64_t due = frame.endUs + ms(options_.turnaroundMs);
    if (faults_.fire(Fault::CompletionRefusal)) {
        d.outcome = "completion refused (fault)";
        answer(due, bytesOf(">C"), "completion refused (fault)", true);
        return;
    }
    uint16_t value = own.value;
    if (faults_.fire(Fault::WrongChecksum))
        value = static_cast<uint16_t>(~value);
    d.outcome = value == frame.number ? "completed" : "checksum mismatch";
    answer(due, {'>', 'c', static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)},
           "checksum " + hex(value, 4) + " (host " + hex(frame.number, 4) + ")", value == frame.number);
}

void HandsetMachine::onAbort(const HostFrame& frame)
{
    if (!inDownload(frame))
        return;
    if (faults_.fire(Fault::SilentAbort)) {
        // The host repeats its abort once, at the same speed: stay at it to hear that too.
        endDownload("aborted, abort not answered (fault)", true, false);
        return;
    }
    current().outcome = "aborted";
    answer(frame.endUs + ms(options_.turnaroundMs), bytesOf(">a"), "abort acknowledged", true);
}


// Dissecting a captured line (see frame_dissector.h). The names and fields here are the Lua
// dissector's: a change to one is a change to both.
#include "capture/frame_dissector.h"

#include <algorithm>
#include <cstdio>

#include "engine/wire.h"
#include "output/shown_text.h"

namespace {

constexpr size_t kIncomplete = 0;
constexpr size_t kLargestShownBlock = 1u << 20;  // a record's block size is data: never trusted for memory

std::string hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

uint32_t speedOfCode(uint8_t code)
{
    switch (code) {
    case wire::kSpeedCode19200: return 19200;
    case wire::kSpeedCode28800: return 28800;
    case wire::kSpeedCode38400: return 38400;
    case wire::kSpeedCode57600: return 57600;
    case wire::kSpeedCode115200: return 115200;
    default: return 0;
    }
}

uint8_t at(const std::string& b, size_t i) { return static_cast<uint8_t>(b[i]); }

// Up to the first NUL of a record's text field, shown safely.
std::string recordText(const std::string& b, size_t from, size_t length)
{
    std::string text = b.substr(from, length);
    const size_t nul = text.find('\0');
    return shownBytes(nul == std::string::npos ? text : text.substr(0, nul));
}

// The length of the next run of bytes that start no frame: up to the next frame mark.
size_t unparsedLength(const std::string& b, char mark)
{
    const size_t next = b.find(mark, 1);
    return next == std::string::npos ? b.size() : next;
}

}  // namespace

// The write frame's length, or kIncomplete: '<' 'w' hi lo, then a payload that makes one block
// (raw: the block itself; run-length: E E is one E, E X n is n copies of X, any other byte itself).
size_t FrameDissector::writeFrameLength(const std::string& b) const
{
    const size_t head = wire::kWriteHeaderLength;
    const uint64_t block = static_cast<uint64_t>(blockSize_ < 1 ? 1 : blockSize_);
    if (blank_ == 0xFF)
        return b.size() >= head + block ? head + block : kIncomplete;
    uint64_t made = 0;
    size_t i = head;
    while (made < block) {
        if (i >= b.size())
            return kIncomplete;
        if (at(b, i) != blank_) {
            ++made;
            i += 1;
        } else if (i + 1 >= b.size()) {
            return kIncomplete;
        } else if (at(b, i + 1) == blank_) {
            ++made;
            i += 2;
        } else if (i + 2 >= b.size()) {
            return kIncomplete;
        } else {
            made += at(b, i + 2);
            i += 3;
        }
    }
    return i;
}

bool FrameDissector::hostFrame(const std::string& b, DissectedFrame* f) const
{
    if (b.size() < 2)
        return false;
    switch (at(b, 1)) {
    case wire::kInquiry: f->name = "Inquiry"; f->length = 2; return true;
    case wire::kErase: f->name = "Erase"; f->length = 2; return true;
    case wire::kAbort: f->name = "Abort"; f->length = 2; return true;
    case wire::kParameter:
        if (b.size() < wire::kParameterLength)
            return false;
        f->name = "Parameter request";
        f->length = wire::kParameterLength;
        f->fields = {{"speed code", shownBytes(b.substr(2, 1))},
                     {"speed", std::to_string(speedOfCode(at(b, 2)))},
                     {"trailer", hex(at(b, 3), 2)}};
        f->unparsed = speedOfCode(at(b, 2)) == 0 || at(b, 3) != wire::kParameterTrailer;
        return true;
    case wire::kChecksum:
        if (b.size() < wire::kChecksumLength)
            return false;
        f->name = "Checksum";
        f->length = wire::kChecksumLength;
        f->fields = {{"checksum", hex(at(b, 2) << 8 | at(b, 3), 4)}};
        return true;
    case wire::kWrite: {
        if (b.size() < wire::kWriteHeaderLength)
            return false;
        const size_t length = writeFrameLength(b);
        if (length == kIncomplete)
            return false;
        f->name = "Block";
        f->length = length;
        f->fields = {{"block", std::to_string(at(b, 2) << 8 | at(b, 3))},
                     {"encoding", blank_ == 0xFF ? "raw" : "run-length"},
                     {"length", std::to_string(length - wire::kWriteHeaderLength)}};
        return true;
    }
    default:
        f->name = "Unparsed";
        f->length = 2;
        f->unparsed = true;
        return true;
    }
}

bool FrameDissector::handsetFrame(const std::string& b, DissectedFrame* f)
{
    if (b.size() < 2)
        return false;
    size_t extra = 0;
    const uint8_t letter = at(b, 1);
    switch (letter) {
    case wire::kRecordFollows: extra = wire::kParameterRecordLength; break;
    case wire::kWritten: case wire::kHandsetSum: extra = 2; break;
    case wire::kWriteRefused: extra = 1; break;
    default: break;
    }
    if (b.size() < 2 + extra)
        return false;
    f->length = 2 + extra;
    switch (letter) {
    case wire::kPresent: f->name = "Present"; break;
    case wire::kErased: f->name = "Erased"; break;
    case wire::kEraseRefused: f->name = "Erase refused"; break;
    case wire::kCompletionRefused: f->name = "Completion refused"; break;
    case wire::kAborted: f->name = "Aborted"; break;
    case wire::kStatusUpper: case wire::kStatusLower: f->name = "Status"; break;
    case wire::kWritten:
        f->name = "Block written";
        f->fields = {{"block", std::to_string(at(b, 2) << 8 | at(b, 3))}};
        break;
    case wire::kWriteRefused:
        f->name = "Block refused";
        f->fields = {{"value", hex(at(b, 2), 2)}};
        break;
    case wire::kHandsetSum:
        f->name = "Handset checksum";
        f->fields = {{"checksum", hex(at(b, 2) << 8 | at(b, 3), 4)}};
        break;
    case wire::kRecordFollows: {
        const std::string record = b.substr(2, wire::kParameterRecordLength);
        const int32_t size = wire::recordBlockSize(reinterpret_cast<const uint8_t*>(record.data()));
        const uint8_t blank = at(record, wire::kRecordBlankByteOffset);
        const uint8_t protocol = at(record, wire::kRecordProtocolOffset);
        f->name = "Parameter record";
        f->fields = {{"product", recordText(record, 0, 4)},
                     {"download code", recordText(record, wire::kRecordCodeOffset, wire::kRecordCodeLength - 1)},
                     {"protocol", protocol == '0' ? "0 (CRC-16/X-25)" : protocol == '1' ? "1 (byte sum)" : shownBytes(record.substr(22, 1))},
                     {"block size", std::to_string(size)},
                     {"blank byte", hex(blank, 2) + (blank == 0xFF ? " (raw blocks)" : " (run-length)")}};
        blockSize_ = size > 0 && static_cast<size_t>(size) <= kLargestShownBlock ? size : 1;
        blank_ = blank;
        break;
    }
    default:
        f->name = "Unparsed";
        f->unparsed = true;
    }
    return true;
}

void FrameDissector::take(Stream& s, bool outbound, size_t chunk, std::vector<DissectedFrame>* out)
{
    const char mark = outbound ? '<' : '>';
    for (;;) {
        if (s.pending.empty())
            return;
        DissectedFrame f;
        f.chunk = chunk;
        f.outbound = outbound;
        if (s.pending[0] != mark) {
            f.name = "Unparsed";
            f.unparsed = true;
            f.length = unparsedLength(s.pending, mark);
        } else if (!(outbound ? hostFrame(s.pending, &f) : handsetFrame(s.pending, &f))) {
            return;  // the rest of it comes in a later chunk
        }
        if (f.name == "Unparsed")
            f.fields = {{"length", std::to_string(f.length)},
                        {"bytes", shownBytes(s.pending.substr(0, std::min<size_t>(f.length, 16)))}};
        s.pending.erase(0, f.length);
        out->push_back(std::move(f));
    }
}

void FrameDissector::feed(size_t chunk, bool outbound, const std::string& bytes,
                          std::vector<DissectedFrame>* out)
{
    Stream& s = outbound ? host_ : handset_;
    s.pending += bytes;
    take(s, outbound, chunk, out);
}

void FrameDissector::end(size_t lastChunk, std::vector<DissectedFrame>* out)
{
    for (Stream* s : {&host_, &handset_}) {
        if (s->pending.empty())
            continue;
        DissectedFrame f;
        f.chunk = lastChunk;
        f.outbound = s == &host_;
        f.name = "Unparsed";
        f.unparsed = true;
        f.length = s->pending.size();
        f.fields = {{"length", std::to_string(f.length)}, {"incomplete", "yes"}};
        out->push_back(std::move(f));
        s->pending.clear();
    }
}

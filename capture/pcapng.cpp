// pcapng blocks (see pcapng.h). Written little-endian; read in either byte order.
#include "capture/pcapng.h"

#include <cstring>

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterface = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptComment = 1;
constexpr uint16_t kOptIfName = 2;
constexpr uint16_t kOptIfDescription = 3;
constexpr uint16_t kOptShbUserAppl = 4;
constexpr uint16_t kOptEpbFlags = 2;
constexpr uint32_t kFlagInbound = 1;
constexpr uint32_t kFlagOutbound = 2;
constexpr size_t kLargestBlock = 64u << 20;  // larger blocks are refused, never allocated

void put16(std::string& out, uint16_t v)
{
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void put32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void pad(std::string& out)
{
    while (out.size() % 4)
        out.push_back('\0');
}

void putOption(std::string& out, uint16_t code, const std::string& value)
{
    put16(out, code);
    put16(out, static_cast<uint16_t>(value.size()));
    out += value;
    pad(out);
}

// Wraps a block's body (already padded) with its type and its length at both ends.
void appendBlock(std::string& out, uint32_t type, const std::string& body)
{
    const uint32_t total = static_cast<uint32_t>(body.size() + 12);
    put32(out, type);
    put32(out, total);
    out += body;
    put32(out, total);
}

void endOptions(std::string& body)
{
    put16(body, kOptEnd);
    put16(body, 0);
}

}  // namespace

namespace pcapng {

void appendSectionHeader(std::string& out, const std::string& application)
{
    std::string body;
    put32(body, kByteOrderMagic);
    put16(body, 1);
    put16(body, 0);
    put32(body, 0xFFFFFFFF);  // section length: not given
    put32(body, 0xFFFFFFFF);
    putOption(body, kOptShbUserAppl, application);
    endOptions(body);
    appendBlock(out, kSectionHeader, body);
}

void appendInterface(std::string& out, uint32_t lineSpeed)
{
    std::string body;
    put16(body, kLinkType);
    put16(body, 0);
    put32(body, 0);  // no snapshot length: every byte is kept
    putOption(body, kOptIfName, "line " + std::to_string(lineSpeed));
    putOption(body, kOptIfDescription, "serial line at " + std::to_string(lineSpeed) + " bit/s");
    endOptions(body);
    appendBlock(out, kInterface, body);
}

void appendPacket(std::string& out, uint32_t interfaceId, uint64_t timeUs, bool outbound,
                  const uint8_t* bytes, uint32_t length, const std::string& comment)
{
    std::string body;
    body.reserve(length + 64);
    put32(body, interfaceId);
    put32(body, static_cast<uint32_t>(timeUs >> 32));
    put32(body, static_cast<uint32_t>(timeUs & 0xFFFFFFFF));
    put32(body, length);
    put32(body, length);
    body.append(reinterpret_cast<const char*>(bytes), length);
    pad(body);
    if (!comment.empty())
        putOption(body, kOptComment, comment);
    std::string flags;
    put32(flags, outbound ? kFlagOutbound : kFlagInbound);
    putOption(body, kOptEpbFlags, flags);
    endOptions(body);
    appendBlock(out, kEnhancedPacket, body);
}

}  // namespace pcapng

namespace {

// Reads one section's numbers in its byte order; every read is checked against the end.
class BlockReader {
public:
    BlockReader(const std::string& data, size_t at, size_t end, bool swapped)
        : data_(data), at_(at), end_(end), swapped_(swapped) {}
    bool u16(uint16_t* v)
    {
        if (end_ - at_ < 2)
            return false;
        const auto* p = reinterpret_cast<const uint8_t*>(data_.data() + at_);
        *v = swapped_ ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
        at_ += 2;
        return true;
    }
    bool u32(uint32_t* v)
    {
        uint16_t a = 0, b = 0;
        if (!u16(&a) || !u16(&b))
            return false;
        *v = swapped_ ? (static_cast<uint32_t>(a) << 16 | b) : (static_cast<uint32_t>(b) << 16 | a);
        return true;
    }
    bool bytes(size_t n, std::string* out)
    {
        if (end_ - at_ < n)
            return false;
        if (out)
            out->assign(data_, at_, n);
        at_ += (n + 3) & ~static_cast<size_t>(3);
        if (at_ > end_)
            at_ = end_;
        return true;
    }
    // Calls take(code, value) for each option up to the end of options or of the block.
    template <class Take>
    void options(Take take)
    {
        uint16_t code = 0, length = 0;
        std::string value;
        while (u16(&code) && u16(&length) && code != kOptEnd && bytes(length, &value))
            take(code, value);
    }

private:
    const std::string& data_;
    size_t at_;
    size_t end_;
    bool swapped_;
};

uint32_t flagsValue(const std::string& value, bool swapped)
{
    if (value.size() < 4)
        return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(value.data());
    return swapped ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3])
                   : (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
}

uint32_t speedFromName(const std::string& name)
{
    if (name.rfind("line ", 0) != 0)
        return 0;
    uint32_t speed = 0;
    for (size_t i = 5; i < name.size() && name[i] >= '0' && name[i] <= '9' && speed < 100000000; ++i)
        speed = speed * 10 + static_cast<uint32_t>(name[i] - '0');
    return speed;
}

struct SectionState {
    bool swapped = false;
    std::vector<uint32_t> speeds;   // per interface of this section
};

bool readPacket(BlockReader& r, const SectionState& s, CaptureContents* contents)
{
    uint32_t iface = 0, high = 0, low = 0, captured = 0, original = 0;
    if (!r.u32(&iface) || !r.u32(&high) || !r.u32(&low) || !r.u32(&captured) || !r.u32(&original))
        return false;
    if (iface >= s.speeds.size())
        return false;
    CapturedChunk chunk;
    chunk.timeUs = static_cast<uint64_t>(high) << 32 | low;
    chunk.lineSpeed = s.speeds[iface];
    if (!r.bytes(captured, &chunk.bytes))
        return false;
    r.options([&](uint16_t code, const std::string& value) {
        if (code == kOptComment)
            chunk.comment = value;
        if (code == kOptEpbFlags)
            chunk.outbound = (flagsValue(value, s.swapped) & 3) == kFlagOutbound;
    });
    contents->chunks.push_back(std::move(chunk));
    return true;
}

}  // namespace

bool readPcapng(const std::string& data, CaptureContents* contents, std::string* error)
{
    SectionState section;
    size_t at = 0;
    bool sawSection = false;
    while (at < data.size()) {
        const std::string where = "at byte " + std::to_string(at);
        if (data.size() - at < 12) {
            *error = "a block cut short " + where;
            return false;
        }
        uint32_t type = 0, total = 0;
        BlockReader(data, at, data.size(), section.swapped).u32(&type);
        if (type == kSectionHeader) {
            const bool little = std::memcmp(data.data() + at + 8, "\x4D\x3C\x2B\x1A", 4) == 0;
            const bool big = std::memcmp(data.data() + at + 8, "\x1A\x2B\x3C\x4D", 4) == 0;
            if (!little && !big) {
                *error = "not a pcapng file (no byte-order magic " + where + ")";
                return false;
            }
            section = SectionState{};
            section.swapped = big;
            sawSection = true;
        } else if (!sawSection) {
            *error = "not a pcapng file (it does not start with a section header)";
            return false;
        }
        BlockReader(data, at + 4, data.size(), section.swapped).u32(&total);
        if (total < 12 || total % 4 || total > kLargestBlock || total > data.size() - at) {
            *error = "a block of impossible length " + std::to_string(total) + " " + where;
            return false;
        }
        BlockReader body(data, at + 8, at + total - 4, section.swapped);
        bool sound = true;
        if (type == kSectionHeader) {
            std::string fixed;
            sound = body.bytes(16, &fixed);
            body.options([&](uint16_t code, const std::string& value) {
                if (code == kOptShbUserAppl)
                    contents->application = value;
            });
        } else if (type == kInterface) {
            uint16_t link = 0, reserved = 0;
            uint32_t snap = 0;
            sound = body.u16(&link) && body.u16(&reserved) && body.u32(&snap);
            uint32_t speed = 0;
            body.options([&](uint16_t code, const std::string& value) {
                if (code == kOptIfName)
                    speed = speedFromName(value);
            });
            if (sound && link != pcapng::kLinkType) {
                *error = "interface of link type " + std::to_string(link) + " " + where +
                         ": not a capture of a handset's line";
                return false;
            }
            section.speeds.push_back(speed);
        } else if (type == kEnhancedPacket) {
            sound = readPacket(body, section, contents);
        }
        if (!sound) {
            *error = "a damaged block " + where;
            return false;
        }
        at += total;
    }
    if (!sawSection) {
        *error = "an empty file, not a capture";
        return false;
    }
    return true;
}

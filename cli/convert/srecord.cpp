// Reader of Motorola S-record files. Strict on purpose: a flipped bit in a text file that
// went through mail or an editor must stop the conversion, not reach a handset's flash.
#include <string>

#include "cli/convert/convert_error.h"
#include "cli/convert/readers.h"

namespace convert {
namespace {

struct Record {
    char type;
    std::vector<uint8_t> bytes;  // address, data and checksum: everything after the count
};

int hexValue(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The record on one line (without its line ending), checked for count and checksum.
Record parseRecord(const uint8_t* line, size_t length)
{
    if (length < 4 || line[0] != 'S')
        throw ConvertError("not an S-record");
    Record record{static_cast<char>(line[1]), {}};
    if (record.type < '0' || record.type > '9')
        throw ConvertError("unknown record type S" + std::string(1, record.type));
    if ((length - 2) % 2 != 0)
        throw ConvertError("odd number of hex digits");
    std::vector<uint8_t> bytes;
    for (size_t i = 2; i < length; i += 2) {
        const int high = hexValue(line[i]);
        const int low = hexValue(line[i + 1]);
        if (high < 0 || low < 0)
            throw ConvertError("not a hex digit");
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    const size_t count = bytes[0];
    if (count != bytes.size() - 1)
        throw ConvertError("the count says " + std::to_string(count) + " bytes, the record holds " +
                           std::to_string(bytes.size() - 1));
    unsigned sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    if ((sum & 0xFF) != 0xFF)
        throw ConvertError("bad checksum");
    record.bytes.assign(bytes.begin() + 1, bytes.end());
    return record;
}

size_t addressLength(char type)
{
    switch (type) {
    case '0': case '1': case '5': case '9': return 2;
    case '2': case '6': case '8': return 3;
    case '3': case '7': return 4;
    default: throw ConvertError("unknown record type S" + std::string(1, type));
    }
}

uint64_t bigEndian(const uint8_t* bytes, size_t length)
{
    uint64_t value = 0;
    for (size_t i = 0; i < length; ++i)
        value = value << 8 | bytes[i];
    return value;
}

class Reader {
public:
    explicit Reader(ImageBuilder& out) : out_(out) {}

    void take(const Record& record)
    {
        const size_t addrLen = addressLength(record.type);
        if (record.bytes.size() < addrLen + 1)
            throw ConvertError("record too short for its address");
        if (ended_)
            throw ConvertError("record after the end record");
        const uint64_t address = bigEndian(record.bytes.data(), addrLen);
        const size_t dataLen = record.bytes.size() - addrLen - 1;
        switch (record.type) {
        case '1': case '2': case '3':
            out_.add(address, record.bytes.data() + addrLen, dataLen);
            ++dataRecords_;
            if (dataLen > 0) {
                end_.anyData = true;
                end_.lastAddress = address + dataLen - 1;
            }
            break;
        case '5': case '6':
            if (dataLen != 0)
                throw ConvertError("count record holds data");
            if (address != (dataRecords_ & (record.type == '5' ? 0xFFFFu : 0xFFFFFFu)))
                throw ConvertError("the count record says " + std::to_string(address) +
                                   " data records, the file has " + std::to_string(dataRecords_));
            break;
        case '7': case '8': case '9':
            ended_ = true;
            end_.endRecord = true;
            break;
        default:  // S0: a header for people, nothing for the image
            break;
        }
    }

    const SRecordEnd& end() const { return end_; }

private:
    ImageBuilder& out_;
    SRecordEnd end_;
    uint64_t dataRecords_ = 0;
    bool ended_ = false;
};

bool isBlank(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\x1A';  // 0x1A: DOS end of file
}

}  // namespace

void readSRecords(ByteView text, ImageBuilder& out, SRecordEnd* ending)
{
    Reader reader(out);
    size_t lineNumber = 0;
    size_t pos = 0;
    while (pos < text.size) {
        size_t end = pos;
        while (end < text.size && text.data[end] != '\n')
            ++end;
        ++lineNumber;
        size_t first = pos, last = end;
        while (first < last && isBlank(text.data[first]))
            ++first;
        while (last > first && isBlank(text.data[last - 1]))
            --last;
        if (last > first) {
            try {
                reader.take(parseRecord(text.data + first, last - first));
            } catch (const ConvertError& e) {
                throw ConvertError("line " + std::to_string(lineNumber) + ": " + e.what());
            }
        }
        pos = end + 1;
    }
    if (ending)
        *ending = reader.end();
}

}  // namespace convert

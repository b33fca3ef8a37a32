// Reader of LHA archives through Debian's liblhasa. The archive must hold exactly one file;
// it is unpacked in memory, never on disk, and its CRC and length are checked here because
// liblhasa's streaming read does not check them.
#include <lha_reader.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "cli/convert/convert_error.h"
#include "cli/convert/readers.h"

namespace convert {
namespace {

struct MemoryStream {
    ByteView bytes;
    size_t pos;
};

int readMemory(void* handle, void* buf, size_t len)
{
    auto* stream = static_cast<MemoryStream*>(handle);
    const size_t n = std::min(len, stream->bytes.size - stream->pos);
    std::memcpy(buf, stream->bytes.data + stream->pos, n);
    stream->pos += n;
    return static_cast<int>(n);
}

// Without a skip function the library skips by reading, and a forged compressed length far
// past the end of the archive then never finishes: refuse a skip beyond the end instead.
int skipMemory(void* handle, size_t bytes)
{
    auto* stream = static_cast<MemoryStream*>(handle);
    if (bytes > stream->bytes.size - stream->pos)
        return 0;
    stream->pos += bytes;
    return 1;
}

const LHAInputStreamType kMemoryStreamType = {readMemory, skipMemory, nullptr};

// CRC-16 as LHA uses it (polynomial 0x8005, reflected, initial value 0).
uint16_t lhaCrc(const std::vector<uint8_t>& bytes)
{
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

bool isDirectory(const LHAFileHeader* header)
{
    return std::strcmp(header->compress_method, LHA_COMPRESS_TYPE_DIR) == 0;
}

std::vector<uint8_t> unpackCurrent(LHAReader* reader, const LHAFileHeader* header, uint64_t limit)
{
    if (header->symlink_target != nullptr)
        throw ConvertError("the archive holds a symbolic link, not a build file");
    if (lha_decoder_for_name(const_cast<char*>(header->compress_method)) == nullptr)
        throw ConvertError(std::string("compression method ") + header->compress_method +
                           " is not supported");
    if (header->length > limit)
        throw ConvertError("the archived file is larger than an image may be");
    // Grown as data arrives rather than sized from the header, which costs nothing to forge.
    std::vector<uint8_t> bytes;
    uint8_t chunk[64 * 1024];
    while (const size_t n = lha_reader_read(reader, chunk, sizeof chunk)) {
        if (n > header->length - bytes.size())
            throw ConvertError("the archive is damaged: the file unpacks to more than its length");
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (bytes.size() != header->length)
        throw ConvertError("the archive is damaged: the file unpacks to " +
                           std::to_string(bytes.size()) + " of its " +
                           std::to_string(header->length) + " bytes");
    if (lhaCrc(bytes) != header->crc)
        throw ConvertError("the archive is damaged: CRC mismatch");
    return bytes;
}

std::string nameOf(const LHAFileHeader* header)
{
    return header->filename != nullptr ? header->filename : "";
}

}  // namespace

ArchiveMember unpackLha(ByteView archive, uint64_t limit)
{
    MemoryStream memory{archive, 0};
    std::unique_ptr<LHAInputStream, void (*)(LHAInputStream*)> stream(
        lha_input_stream_new(&kMemoryStreamType, &memory), lha_input_stream_free);
    if (!stream)
        throw ConvertError("out of memory");
    std::unique_ptr<LHAReader, void (*)(LHAReader*)> reader(lha_reader_new(stream.get()),
                                                            lha_reader_free);
    if (!reader)
        throw ConvertError("out of memory");
    lha_reader_set_dir_policy(reader.get(), LHA_READER_DIR_PLAIN);

    ArchiveMember member;
    bool found = false;
    while (const LHAFileHeader* header = lha_reader_next_file(reader.get())) {
        if (isDirectory(header))
            continue;
        if (found)
            throw ConvertError("the archive holds more than one file (" + member.name + ", " +
                               nameOf(header) + "); it must hold one build file");
        member.name = nameOf(header);
        member.bytes = unpackCurrent(reader.get(), header, limit);
        found = true;
    }
    if (!found)
        throw ConvertError("not an LHA archive, or an archive with no file in it");
    return member;
}

}  // namespace convert

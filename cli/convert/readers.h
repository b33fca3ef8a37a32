// The readers of the build-file formats. Each takes the whole file in memory and either
// places its data in an ImageBuilder or throws ConvertError with the reason (never the file
// name, which the caller adds). They read bytes from outside and are fuzzed: no input may
// make them read out of bounds, hang or allocate without limit.
#ifndef TARVOLO_CLI_CONVERT_READERS_H
#define TARVOLO_CLI_CONVERT_READERS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/convert/image_builder.h"

namespace convert {

struct ByteView {
    const uint8_t* data;
    size_t size;
};

// Motorola S-records, S0 to S9. Every record's count and checksum is verified, and an S5 or
// S6 count against the data records before it. The end record (S7, S8, S9) is optional,
// as srec_cat leaves it out when there is no start address, but nothing may follow it.
// Without one, a file cut at a line boundary reads like a whole one: `end` (when given) says
// whether an end record came and where the last data record ended.
struct SRecordEnd {
    bool endRecord = false;
    bool anyData = false;
    uint64_t lastAddress = 0;  // of the last data byte read
};
void readSRecords(ByteView text, ImageBuilder& out, SRecordEnd* end = nullptr);

// An ELF executable, 32 or 64 bits, either byte order: the file bytes of each PT_LOAD
// segment at its physical address.
void readElf(ByteView file, ImageBuilder& out);

// The single file an LHA archive holds, unpacked in memory and checked against its CRC.
struct ArchiveMember {
    std::string name;
    std::vector<uint8_t> bytes;
};
ArchiveMember unpackLha(ByteView archive, uint64_t limit = kMaxImageSize);

}  // namespace convert

#endif

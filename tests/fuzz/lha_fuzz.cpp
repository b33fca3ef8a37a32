// libFuzzer harness of the LHA reader: any archive is unpacked or refused, and what it
// unpacks to goes through the reader its name chooses.
#include "cli/convert/convert.h"
#include "cli/convert/convert_error.h"
#include "tests/fuzz/fuzz_limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    convert::ArchiveMember member;
    try {
        member = convert::unpackLha({data, size}, fuzz::kImageLimit);
    } catch (const convert::ConvertError&) {
        return 0;
    }
    for (uint64_t base : fuzz::kBases) {
        convert::ConvertOptions options;
        options.base = base;
        options.limit = fuzz::kImageLimit;
        try {
            convert::imageOf(member.name, {member.bytes.data(), member.bytes.size()}, options);
        } catch (const convert::ConvertError&) {
        }
    }
    return 0;
}

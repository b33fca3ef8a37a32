// libFuzzer harness of the ELF reader: any file is read or refused, never more.
#include "cli/convert/convert_error.h"
#include "cli/convert/readers.h"
#include "tests/fuzz/fuzz_limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (uint64_t base : fuzz::kBases) {
        convert::ImageBuilder builder(base, fuzz::kImageLimit);
        try {
            convert::readElf({data, size}, builder);
            builder.build();
        } catch (const convert::ConvertError&) {
        }
    }
    return 0;
}

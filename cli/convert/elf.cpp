// Reader of ELF absolute load modules. Only the ELF header and the program headers are read:
// the loadable segments are what a loader would place in memory, at their physical (load)
// addresses, which for a ROM image is where the bytes sit in flash. Every offset and size
// comes from the file and is checked against its length before use.
#include <string>

#include "cli/convert/convert_error.h"
#include "cli/convert/readers.h"

namespace convert {
namespace {

constexpr uint32_t kPtLoad = 1;
constexpr uint16_t kManyHeaders = 0xFFFF;  // PN_XNUM: the true count lives in section 0

class Fields {
public:
    Fields(ByteView file, bool bigEndian) : file_(file), big_(bigEndian) {}

    uint64_t get(uint64_t offset, size_t width) const
    {
        if (offset > file_.size || width > file_.size - offset)
            throw ConvertError("the file is cut short");
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) {
            const uint8_t b = file_.data[offset + (big_ ? i : width - 1 - i)];
            value = value << 8 | b;
        }
        return value;
    }

private:
    ByteView file_;
    bool big_;
};

struct Layout {
    size_t word;  // 4 or 8: width of addresses and offsets
    uint64_t phoffAt, phentsizeAt, phnumAt;
    size_t minPhent;
    uint64_t pOffsetAt, pPaddrAt, pFileszAt;
};

constexpr Layout kElf32{4, 28, 42, 44, 32, 4, 12, 16};
constexpr Layout kElf64{8, 32, 54, 56, 56, 8, 24, 32};

const Layout& layoutOf(ByteView file)
{
    static const uint8_t magic[4] = {0x7F, 'E', 'L', 'F'};
    for (size_t i = 0; i < 4; ++i)
        if (file.size <= i || file.data[i] != magic[i])
            throw ConvertError("not an ELF file (an absolute file must be ELF)");
    if (file.size < 16)
        throw ConvertError("the file is cut short");
    switch (file.data[4]) {
    case 1: return kElf32;
    case 2: return kElf64;
    default: throw ConvertError("unknown ELF class " + std::to_string(file.data[4]));
    }
}

bool isBigEndian(ByteView file)
{
    switch (file.data[5]) {
    case 1: return false;
    case 2: return true;
    default: throw ConvertError("unknown ELF byte order " + std::to_string(file.data[5]));
    }
}

}  // namespace

void readElf(ByteView file, ImageBuilder& out)
{
    const Layout& l = layoutOf(file);
    const Fields f(file, isBigEndian(file));
    const uint64_t phoff = f.get(l.phoffAt, l.word);
    const uint64_t phentsize = f.get(l.phentsizeAt, 2);
    const uint64_t phnum = f.get(l.phnumAt, 2);
    if (phnum == 0)
        throw ConvertError("no program headers: link the file into an executable first");
    if (phnum == kManyHeaders)
        throw ConvertError("too many program headers");
    if (phentsize < l.minPhent)
        throw ConvertError("program header entries too small");
    size_t loaded = 0;
    for (uint64_t i = 0; i < phnum; ++i) {
        if (phoff > file.size || i * phentsize > file.size - phoff)
            throw ConvertError("program headers lie beyond the end of the file");
        const uint64_t ph = phoff + i * phentsize;
        if (f.get(ph, 4) != kPtLoad)
            continue;
        const uint64_t offset = f.get(ph + l.pOffsetAt, l.word);
        const uint64_t paddr = f.get(ph + l.pPaddrAt, l.word);
        const uint64_t filesz = f.get(ph + l.pFileszAt, l.word);
        if (offset > file.size || filesz > file.size - offset)
            throw ConvertError("segment " + std::to_string(i) + " lies beyond the end of the file");
        out.add(paddr, file.data + offset, static_cast<size_t>(filesz));
        ++loaded;
    }
    if (loaded == 0)
        throw ConvertError("no loadable segment");
}

}  // namespace convert

// Chooses the reader for a build file by its extension and runs it.
#include <algorithm>
#include <cctype>

#include "cli/convert/convert.h"
#include "cli/convert/convert_error.h"

namespace convert {
namespace {

std::string upperExtension(const std::string& name)
{
    const size_t slash = name.find_last_of("/\\");
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "";
    std::string ext = name.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return ext;
}

std::vector<uint8_t> placed(void (*reader)(ByteView, ImageBuilder&), ByteView bytes,
                            const ConvertOptions& options)
{
    ImageBuilder builder(options.base, options.limit);
    reader(bytes, builder);
    return builder.build();
}

std::vector<uint8_t> fromSRecords(ByteView bytes, const ConvertOptions& options)
{
    ImageBuilder builder(options.base, options.limit);
    SRecordEnd end;
    readSRecords(bytes, builder, &end);
    if (options.report && !end.endRecord && end.anyData) {
        options.report->srecordsWithoutEnd = true;
        options.report->lastAddressRead = end.lastAddress;
    }
    return builder.build();
}

std::vector<uint8_t> asItStands(ByteView bytes, const ConvertOptions& options)
{
    if (bytes.size > options.limit)
        throw ConvertError("larger than an image may be");
    return std::vector<uint8_t>(bytes.data, bytes.data + bytes.size);
}

std::vector<uint8_t> imageOfRelease(ByteView bytes, const ConvertOptions& options)
{
    if (bytes.size < kProductIdLength)
        throw ConvertError("too short for a release file (no product identifier)");
    return asItStands(ByteView{bytes.data + kProductIdLength, bytes.size - kProductIdLength}, options);
}

std::vector<uint8_t> imageOfKind(const std::string& ext, ByteView bytes,
                                 const ConvertOptions& options, bool inArchive)
{
    if (ext == ".BIN")
        return asItStands(bytes, options);
    if (ext == ".REL")
        return imageOfRelease(bytes, options);
    if (ext == ".SRE" || ext == ".MOT")
        return fromSRecords(bytes, options);
    if (ext == ".ABS")
        return placed(readElf, bytes, options);
    if (ext == ".LZH" && !inArchive) {
        const ArchiveMember member = unpackLha(bytes, options.limit);
        try {
            return imageOfKind(upperExtension(member.name),
                               ByteView{member.bytes.data(), member.bytes.size()}, options, true);
        } catch (const ConvertError& e) {
            throw ConvertError(member.name + ": " + e.what());
        }
    }
    throw ConvertError("the extension " + (ext.empty() ? std::string("(none)") : ext) +
                       " is not a build file kind (" +
                       (inArchive ? "inside an archive: REL, BIN, MOT, SRE or ABS"
                                  : "REL, BIN, MOT, SRE, ABS or LZH") + ")");
}

}  // namespace

std::vector<uint8_t> imageOf(const std::string& name, ByteView bytes, const ConvertOptions& options)
{
    std::vector<uint8_t> image = imageOfKind(upperExtension(name), bytes, options, false);
    if (image.empty())
        throw ConvertError("holds no data for the image");
    return image;
}

bool isReleaseFileName(const std::string& name) { return upperExtension(name) == ".REL"; }

void checkProductId(const std::string& id)
{
    if (id.size() != kProductIdLength)
        throw ConvertError("the product identifier \"" + id + "\" is " + std::to_string(id.size()) +
                           " bytes long; it must be exactly " + std::to_string(kProductIdLength));
}

}  // namespace convert

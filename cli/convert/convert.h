// Turning a build file into a release file: the four bytes of the product identifier
// followed by the flash image. The build file's kind comes from its extension:
//   .bin        the image as it stands
//   .sre .mot   Motorola S-records, placed at address - base
//   .abs        an ELF load module, its loadable segments at physical address - base
//   .lzh        an LHA archive holding one of the above
//   .rel        a release file: its image kept, its identifier replaced
#ifndef TARVOLO_CLI_CONVERT_CONVERT_H
#define TARVOLO_CLI_CONVERT_CONVERT_H

#include <cstdint>
#include <string>
#include <vector>

#include "cli/convert/image_builder.h"
#include "cli/convert/readers.h"

namespace convert {

constexpr size_t kProductIdLength = 4;

// What a conversion found that the operator should hear of, though it did not fail.
struct ConvertReport {
    size_t imageBytes = 0;     // as the build file gave it
    size_t paddingBytes = 0;   // blank bytes added up to a whole number of blocks
    bool srecordsWithoutEnd = false;  // S-records with no end record: maybe cut short
    uint64_t lastAddressRead = 0;     // then the address of the last data byte read
};

struct ConvertOptions {
    std::string productId = "KM52";
    uint64_t base = 0;
    uint64_t limit = kMaxImageSize;
    uint32_t blockSize = 0;  // pad the image to whole blocks of this size; 0: as it stands
    uint8_t blank = 0xFF;    // the padding: erased flash
    ConvertReport* report = nullptr;  // filled when given
};

// The image that the build file `name` with contents `bytes` holds. Throws ConvertError with
// the reason; names inside an archive are put in front of the reason.
std::vector<uint8_t> imageOf(const std::string& name, ByteView bytes, const ConvertOptions& options);

// True for a name that ends in .rel (any case): a release file.
bool isReleaseFileName(const std::string& name);

// Throws ConvertError unless `id` is exactly four bytes.
void checkProductId(const std::string& id);

// Writes the release file at `path` through a temporary file beside it, so that `path` is
// either the complete new file or untouched. Throws ConvertError naming `path`.
void writeRelease(const std::string& path, const std::string& productId,
                  const std::vector<uint8_t>& image);

// The whole conversion; returns the size of the image written. Throws ConvertError whose
// message names the file at fault; on any failure `release` is left as it was. `release`
// must not be a device, FIFO or folder, nor the build file itself (a release file may be
// converted in place: only its identifier changes); a symbolic link has its target written.
size_t convertFile(const std::string& source, const std::string& release,
                 const ConvertOptions& options);

}  // namespace convert

#endif

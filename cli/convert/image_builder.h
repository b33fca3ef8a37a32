// Collects the pieces of a flash image that a build file places at addresses, and lays them
// out as one image: address minus base gives the offset, gaps are erased flash (0xFF).
//
// The extent is checked as each piece arrives, so a record at a far address is refused
// before any memory is spent on the image. Pieces that overlap must agree byte for byte:
// two builds of the same address mean a broken link map, not something to pick a winner in.
#ifndef TARVOLO_CLI_CONVERT_IMAGE_BUILDER_H
#define TARVOLO_CLI_CONVERT_IMAGE_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace convert {

// Larger than any handset's flash: an image beyond it is a wrong base or a stray address.
constexpr uint64_t kMaxImageSize = 256ull * 1024 * 1024;
constexpr uint8_t kGapByte = 0xFF;

class ImageBuilder {
public:
    ImageBuilder(uint64_t base, uint64_t limit = kMaxImageSize);

    // Places `size` bytes at `address`. Throws ConvertError when the address lies below the
    // base or the piece would end beyond the limit.
    void add(uint64_t address, const uint8_t* data, size_t size);

    // The image from offset 0 to the end of the highest piece. Throws ConvertError when two
    // pieces disagree about a byte.
    std::vector<uint8_t> build() const;

    uint64_t extent() const { return extent_; }

private:
    struct Piece {
        uint64_t offset;
        std::vector<uint8_t> bytes;
    };
    uint64_t base_;
    uint64_t limit_;
    uint64_t extent_ = 0;
    std::vector<Piece> pieces_;
};

}  // namespace convert

#endif

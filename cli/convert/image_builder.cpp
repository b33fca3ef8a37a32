// Lays out the pieces of a flash image; see image_builder.h.
#include "cli/convert/image_builder.h"

#include <algorithm>
#include <cstdio>

#include "cli/convert/convert_error.h"

namespace convert {

std::string hexAddress(unsigned long long value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", value);
    return text;
}

namespace {

std::string mebibytes(uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

ImageBuilder::ImageBuilder(uint64_t base, uint64_t limit) : base_(base), limit_(limit) {}

void ImageBuilder::add(uint64_t address, const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    if (address < base_)
        throw ConvertError("data at " + hexAddress(address) + " lies below the base address " +
                           hexAddress(base_));
    const uint64_t offset = address - base_;
    if (offset > limit_ || size > limit_ - offset)
        throw ConvertError("data at " + hexAddress(address) + " would make the image larger than " +
                           mebibytes(limit_) + " (is the base address right? it is " +
                           hexAddress(base_) + ")");
    pieces_.push_back(Piece{offset, std::vector<uint8_t>(data, data + size)});
    if (offset + size > extent_)
        extent_ = offset + size;
}

std::vector<uint8_t> ImageBuilder::build() const
{
    // In order of offset, the bytes before the highest end so far are all written already
    // (the piece that reached that end covers them), so only they need comparing.
    std::vector<const Piece*> order;
    for (const Piece& piece : pieces_)
        order.push_back(&piece);
    std::stable_sort(order.begin(), order.end(),
                     [](const Piece* a, const Piece* b) { return a->offset < b->offset; });

    std::vector<uint8_t> image(static_cast<size_t>(extent_), kGapByte);
    uint64_t writtenEnd = 0;
    for (const Piece* piece : order) {
        const size_t start = static_cast<size_t>(piece->offset);
        const size_t size = piece->bytes.size();
        const size_t overlap = writtenEnd > start ? std::min<size_t>(writtenEnd - start, size) : 0;
        for (size_t i = 0; i < overlap; ++i)
            if (image[start + i] != piece->bytes[i])
                throw ConvertError("two parts of the file disagree about the byte at " +
                                   hexAddress(base_ + start + i));
        std::copy(piece->bytes.begin() + overlap, piece->bytes.end(), image.begin() + start + overlap);
        writtenEnd = std::max<uint64_t>(writtenEnd, start + size);
    }
    return image;
}

}  // namespace convert

// The handset's flash: blocks of the announced block size, erased to 0xFF, written by the
// write frames, and the checksum the handset reports over them.
//
// Which blocks the checksum covers. The host counts every whole block of its image, blank
// (all 0xFF) ones included, but never sends a blank block; so the blocks after the last one
// written, if the image ends with blank ones, reach the host's checksum but never the handset.
// The handset cannot see how many there were. Its rule:
//   - with --image-blocks N it covers blocks 0 to max(N, highest written + 1) - 1: exact, and
//     what end-to-end tests should use;
//   - otherwise it covers the blocks up to the highest one written, and when that does not give
//     the host's value, it tries one more blank block at a time (at most --max-trailing-blank,
//     never past block number 65535, the last a 16-bit number can name) and answers the first
//     count that gives it. The bound keeps a wrong host checksum from being matched by chance
//     (each try is a 1 in 65536 chance for the CRC); the count settled on is reported and
//     decides the length of --flash-out, so comparing the flash with the image still catches
//     a host whose checksum is wrong.
#ifndef TARVOLO_HANDSET_FLASH_H
#define TARVOLO_HANDSET_FLASH_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A running checksum of one kind: '0' CRC-16/X-25, otherwise the 16-bit byte sum.
class ImageChecksum {
public:
    explicit ImageChecksum(bool crc) : crc_(crc) {}
    void add(const uint8_t* bytes, uint32_t length);
    void addBlank(uint32_t length);
    uint16_t value() const;

private:
    bool crc_;
    uint32_t accumulator_ = 0xFFFF;
    uint16_t sum_ = 0;
};

struct ChecksumAnswer {
    uint16_t value = 0;
    uint32_t blocks = 0;          // blocks covered
    uint32_t trailingBlank = 0;   // blank blocks assumed beyond the highest written one
};

class Flash {
public:
    void setBlockSize(uint32_t blockSize);
    uint32_t blockSize() const { return blockSize_; }
    void erase() { blocks_.clear(); }
    void write(uint32_t number, const std::vector<uint8_t>& block) { blocks_[number] = block; }
    // The block's bytes, 0xFF where nothing was written.
    std::vector<uint8_t> block(uint32_t number) const;

    // The checksum answer by the rule above. `written` is the count of blocks up to the highest
    // written in this download; `imageBlocks` is 0 when not given; `maxTrailing` bounds the search.
    ChecksumAnswer answer(bool crc, uint32_t written, uint32_t imageBlocks, uint32_t maxTrailing,
                          uint16_t hostValue) const;
    uint16_t checksum(bool crc, uint32_t blocks) const;

    // Writes blocks 0 to blocks - 1 to `path` through a temporary file renamed into place, so a
    // failed write leaves no partial image. Returns an error text, empty on success.
    std::string save(const std::string& path, uint32_t blocks) const;

private:
    uint32_t blockSize_ = 1024;
    std::map<uint32_t, std::vector<uint8_t>> blocks_;
};

#endif

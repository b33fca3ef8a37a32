// The flash model and its checksum (see flash.h).
#include "handset/flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/checksum.h"

namespace {
constexpr uint32_t kMaxBlocks = 65536;   // 16-bit block numbers
}  // namespace

void ImageChecksum::add(const uint8_t* bytes, uint32_t length)
{
    if (crc_) {
        crcUpdate(&accumulator_, bytes, length);
        return;
    }
    uint32_t sum = sum_;
    for (uint32_t i = 0; i < length; ++i)
        sum += bytes[i];
    sum_ = static_cast<uint16_t>(sum);
}

void ImageChecksum::addBlank(uint32_t length)
{
    static const std::vector<uint8_t> blank(4096, 0xFF);
    while (length > 0) {
        const uint32_t piece = length < blank.size() ? length : static_cast<uint32_t>(blank.size());
        add(blank.data(), piece);
        length -= piece;
    }
}

uint16_t ImageChecksum::value() const
{
    return crc_ ? static_cast<uint16_t>(crcFinal(accumulator_)) : sum_;
}

void Flash::setBlockSize(uint32_t blockSize)
{
    if (blockSize != blockSize_)
        blocks_.clear();
    blockSize_ = blockSize;
}

std::vector<uint8_t> Flash::block(uint32_t number) const
{
    const auto it = blocks_.find(number);
    if (it != blocks_.end())
        return it->second;
    return std::vector<uint8_t>(blockSize_, 0xFF);
}

uint16_t Flash::checksum(bool crc, uint32_t blocks) const
{
    ImageChecksum sum(crc);
    for (uint32_t n = 0; n < blocks; ++n) {
        const auto it = blocks_.find(n);
        if (it == blocks_.end())
            sum.addBlank(blockSize_);
        else
            sum.add(it->second.data(), static_cast<uint32_t>(it->second.size()));
    }
    return sum.value();
}

ChecksumAnswer Flash::answer(bool crc, uint32_t written, uint32_t imageBlocks, uint32_t maxTrailing,
                             uint16_t hostValue) const
{
    ChecksumAnswer a;
    a.blocks = imageBlocks > written ? imageBlocks : written;
    a.value = checksum(crc, a.blocks);
    if (imageBlocks > 0 || a.value == hostValue)
        return a;

    ImageChecksum sum(crc);
    for (uint32_t n = 0; n < written; ++n)   // the same as above, kept running for the search
        sum.add(block(n).data(), blockSize_);
    const uint64_t last = std::min<uint64_t>(kMaxBlocks, static_cast<uint64_t>(written) + maxTrailing);
    for (uint32_t blocks = written + 1; blocks <= last; ++blocks) {
        sum.addBlank(blockSize_);
        if (sum.value() == hostValue) {
            a.value = hostValue;
            a.blocks = blocks;
            a.trailingBlank = blocks - written;
            return a;
        }
    }
    return a;
}

std::string Flash::save(const std::string& path, uint32_t blocks) const
{
    const std::string temporary = path + ".part";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file)
        return "cannot create " + temporary + ": " + std::strerror(errno);
    bool ok = true;
    for (uint32_t n = 0; n < blocks && ok; ++n) {
        const std::vector<uint8_t> bytes = block(n);
        ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    }
    const int savedErrno = errno;
    ok = (std::fclose(file) == 0) && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(ok ? errno : savedErrno);
        std::remove(temporary.c_str());
        return "cannot write " + path + ": " + reason;
    }
    return {};
}

// Image checksums (see checksum.h).
#include "engine/checksum.h"

#include "engine/engine_state.h"

namespace {

constexpr std::array<uint16_t, 256> buildCrcTable()
{
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1u) ? (value >> 1) ^ 0x8408u : value >> 1;
        table[i] = static_cast<uint16_t>(value);
    }
    return table;
}

}  // namespace

constexpr std::array<uint16_t, 256> kCrcTable = buildCrcTable();
static_assert(kCrcTable[1] == 0x1189 && kCrcTable[128] == 0x8408 && kCrcTable[255] == 0x0F78,
              "CRC-16/X-25 table");
const std::array<uint16_t, 256> crcTable = kCrcTable;

void crcInit(uint32_t* accumulator) { *accumulator = 0xFFFF; }

void crcUpdate(uint32_t* accumulator, const uint8_t* bytes, uint32_t length)
{
    uint32_t crc = *accumulator;
    for (uint32_t i = 0; i < length; ++i)
        crc = kCrcTable[(crc ^ bytes[i]) & 0xFFu] ^ (crc >> 8);
    *accumulator = crc;
}

uint32_t crcFinal(uint32_t accumulator) { return ~accumulator; }

void addToByteSum(const uint8_t* bytes, uint32_t length)
{
    uint32_t sum = engine.byteSum;
    for (uint32_t i = 0; i < length; ++i)
        sum += bytes[i];
    engine.byteSum = static_cast<uint16_t>(sum);
}

uint16_t imageChecksum()
{
    if (engine.checksumKind == kChecksumCrc)
        return static_cast<uint16_t>(crcFinal(engine.crcAccumulator));
    return engine.byteSum;
}

// Image checksums: CRC-16/X-25 (reflected polynomial 0x8408, start 0xFFFF, final complement)
// and the 16-bit byte sum. The handset's protocol character picks the kind per download.
#ifndef TARVOLO_ENGINE_CHECKSUM_H
#define TARVOLO_ENGINE_CHECKSUM_H

#include <array>
#include <cstddef>
#include <cstdint>

struct Engine;

namespace checksum_detail {
// Entry i is i after eight reflected steps with polynomial 0x8408.
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
}  // namespace checksum_detail

// The table of the table-driven CRC-16/X-25: a compile-time constant, never built at run time.
inline constexpr std::array<uint16_t, 256> crcTable = checksum_detail::buildCrcTable();

void crcInit(uint32_t* accumulator);
void crcUpdate(uint32_t* accumulator, const uint8_t* bytes, uint32_t length);
uint32_t crcFinal(uint32_t accumulator);
// Adds each byte to engine.byteSum, modulo 65536.
void addToByteSum(Engine& engine, const uint8_t* bytes, uint32_t length);
// engine.checksumKind's checksum of the blocks counted so far.
uint16_t imageChecksum(Engine& engine);

#endif

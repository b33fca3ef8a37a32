// Image checksums: CRC-16/X-25 (reflected polynomial 0x8408, start 0xFFFF, final complement)
// and the 16-bit byte sum. The handset's protocol character picks the kind per download.
#ifndef TARVOLO_ENGINE_CHECKSUM_H
#define TARVOLO_ENGINE_CHECKSUM_H

#include <array>
#include <cstddef>
#include <cstdint>

// The table of the table-driven CRC-16/X-25, built at compile time.
extern const std::array<uint16_t, 256> crcTable;

void crcInit(uint32_t* accumulator);
void crcUpdate(uint32_t* accumulator, const uint8_t* bytes, uint32_t length);
uint32_t crcFinal(uint32_t accumulator);
// Adds each byte to engine.byteSum, modulo 65536.
void addToByteSum(const uint8_t* bytes, uint32_t length);
// engine.checksumKind's checksum of the blocks counted so far.
uint16_t imageChecksum();

#endif

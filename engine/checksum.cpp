// Image checksums (see checksum.h).
#include "engine/checksum.h"

#include "engine/engine_state.h"

static_assert(crcTable[0] == 0x0000 && crcTable[1] == 0x1189 && crcTable[128] == 0x8408 &&
                  crcTable[255] == 0x0F78,
              "CRC-16/X-25 table");

void crcInit(uint32_t* accumulator) { *accumulator = 0xFFFF; }

void crcUpdate(uint32_t* accumulator, const uint8_t* bytes, uint32_t length)
{
    uint32_t crc = *accumulator;
    for (uint32_t i = 0; i < length; ++i)
        crc = crcTable[(crc ^ bytes[i]) & 0xFFu] ^ (crc >> 8);
    *accumulator = crc;
}

uint32_t crcFinal(uint32_t accumulator) { return ~accumulator; }

void addToByteSum(Engine& engine, const uint8_t* bytes, uint32_t length)
{
    uint32_t sum = engine.byteSum;
    for (uint32_t i = 0; i < length; ++i)
        sum += bytes[i];
    engine.byteSum = static_cast<uint16_t>(sum);
}

uint16_t imageChecksum(Engine& engine)
{
    if (engine.checksumKind == kChecksumCrc)
        return static_cast<uint16_t>(crcFinal(engine.crcAccumulator));
    return engine.byteSum;
}

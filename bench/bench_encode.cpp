// Throughput of block preparation's per-byte loops: the run-length encoder, the whole of
// prepareBlock (raw with blank byte 0xFF, or encoded), the CRC-16/X-25 update and the byte
// sum, on blocks of typical content at block sizes 1024 and 8192.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "engine/block_prep.h"
#include "engine/checksum.h"
#include "engine/engine_state.h"

namespace {

enum Content { kRandom, kRunHeavy, kEscapeHeavy };

// Firmware-like blocks: random bytes; long runs of a few values (padding, tables of
// constants); or data where one byte in four is the escape byte 0x00.
std::vector<uint8_t> makeBlock(Content content, size_t size)
{
    std::mt19937 rng(size * 3 + content);
    std::vector<uint8_t> block;
    while (block.size() < size) {
        switch (content) {
        case kRandom:
            block.push_back(static_cast<uint8_t>(rng()));
            break;
        case kRunHeavy: {
            const size_t n = 1 + rng() % 64;
            block.insert(block.end(), n, static_cast<uint8_t>(rng() % 4 + 0x40));
            break;
        }
        case kEscapeHeavy:
            block.push_back(rng() % 4 == 0 ? 0x00 : static_cast<uint8_t>(rng() % 255 + 1));
            break;
        }
    }
    block.resize(size);
    return block;
}

// Sets up the engine's buffers as a download would, with `block` in readBuffer.
void loadBlock(Engine& engine, const std::vector<uint8_t>& block, uint8_t blank)
{
    engine.blockSize = static_cast<int32_t>(block.size());
    engine.blankByte = blank;
    if (!allocateBlockBuffers(engine))
        std::abort();
    std::copy(block.begin(), block.end(), engine.readBuffer);
}

void BM_Encode(benchmark::State& state, Content content)
{
    const size_t size = static_cast<size_t>(state.range(0));
    Engine engine;
    loadBlock(engine, makeBlock(content, size), 0x00);
    for (auto _ : state) {
        encodeBlock(engine);
        benchmark::DoNotOptimize(engine.frameBuffer);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
    state.counters["payload/block"] =
        static_cast<double>(preparedFrameLength(engine) - 4) / static_cast<double>(size);
}

// The whole of prepareBlock (read, CRC, blank test, payload) on a file of blocks; with blank
// byte 0xFF the payload is the raw copy.
void BM_PrepareBlock(benchmark::State& state, Content content, uint8_t blank)
{
    const size_t size = static_cast<size_t>(state.range(0));
    Engine engine;
    engine.releaseFile = std::tmpfile();
    if (!engine.releaseFile)
        std::abort();
    constexpr int kBlocks = 64;
    for (int i = 0; i < kBlocks; ++i) {
        const std::vector<uint8_t> block = makeBlock(content, size);
        std::fwrite(block.data(), 1, size, engine.releaseFile);
    }
    engine.blockSize = static_cast<int32_t>(size);
    engine.blankByte = blank;
    engine.checksumKind = kChecksumCrc;
    if (!allocateBlockBuffers(engine))
        std::abort();
    std::rewind(engine.releaseFile);
    for (auto _ : state) {
        if (prepareBlock(engine) == kBlockEndOfImage) {
            std::rewind(engine.releaseFile);
            prepareBlock(engine);
        }
        benchmark::DoNotOptimize(engine.frameBuffer);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_Crc(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> block = makeBlock(kRandom, size);
    uint32_t acc = 0;
    crcInit(&acc);
    for (auto _ : state) {
        crcUpdate(&acc, block.data(), static_cast<uint32_t>(size));
        benchmark::DoNotOptimize(acc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_ByteSum(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> block = makeBlock(kRandom, size);
    Engine engine;
    for (auto _ : state) {
        addToByteSum(engine, block.data(), static_cast<uint32_t>(size));
        benchmark::DoNotOptimize(engine.byteSum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

BENCHMARK_CAPTURE(BM_Encode, random, kRandom)->Arg(1024)->Arg(8192);
BENCHMARK_CAPTURE(BM_Encode, run_heavy, kRunHeavy)->Arg(1024)->Arg(8192);
BENCHMARK_CAPTURE(BM_Encode, escape_heavy, kEscapeHeavy)->Arg(1024)->Arg(8192);
BENCHMARK_CAPTURE(BM_PrepareBlock, raw_ff, kRandom, uint8_t{0xFF})->Arg(1024)->Arg(8192);
BENCHMARK_CAPTURE(BM_PrepareBlock, encoded_random, kRandom, uint8_t{0x00})->Arg(1024)->Arg(8192);
BENCHMARK(BM_Crc)->Arg(1024)->Arg(8192);
BENCHMARK(BM_ByteSum)->Arg(1024)->Arg(8192);

}  // namespace

BENCHMARK_MAIN();

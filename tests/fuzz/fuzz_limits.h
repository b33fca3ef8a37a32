// What the conversion harnesses share: an image limit small enough that libFuzzer's runs
// stay fast, and the two bases that put the seed files' data inside it.
#ifndef TARVOLO_TESTS_FUZZ_FUZZ_LIMITS_H
#define TARVOLO_TESTS_FUZZ_FUZZ_LIMITS_H

#include <cstdint>

namespace fuzz {

constexpr uint64_t kImageLimit = 1024 * 1024;
constexpr uint64_t kBases[] = {0, 0x8C000000};

}  // namespace fuzz

#endif

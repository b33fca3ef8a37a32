// Small helpers shared by the protocol machine's source files.
#ifndef TARVOLO_HANDSET_MACHINE_DETAIL_H
#define TARVOLO_HANDSET_MACHINE_DETAIL_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace handset_detail {

inline std::string hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

inline std::vector<uint8_t> bytesOf(const char* text)
{
    return std::vector<uint8_t>(text, text + std::char_traits<char>::length(text));
}

// Milliseconds of an option as microseconds of the machine's clock.
inline int64_t ms(double value) { return static_cast<int64_t>(value * 1000.0); }

}  // namespace handset_detail

#endif

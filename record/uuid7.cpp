// UUIDv7 from the clock and libgcrypt (uuid7.h).
#include "record/uuid7.h"

#include <gcrypt.h>

#include <cstdio>

#include "record/sha256.h"

std::string newUuid7(UtcTime time)
{
    initialiseGcrypt();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const uint64_t stamp = static_cast<uint64_t>(ms) & 0xFFFFFFFFFFFFull;
    unsigned char b[16];
    for (int i = 0; i < 6; ++i)
        b[i] = static_cast<unsigned char>(stamp >> (40 - 8 * i));
    gcry_create_nonce(b + 6, 10);
    b[6] = static_cast<unsigned char>(0x70 | (b[6] & 0x0F));  // version 7
    b[8] = static_cast<unsigned char>(0x80 | (b[8] & 0x3F));  // variant 10
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                  b[15]);
    return text;
}

std::string uuid7ForRow(const std::string& utcText)
{
    UtcTime time;
    if (utcText.empty() || !parseUtc(utcText, &time))
        time = std::chrono::system_clock::now();
    return newUuid7(time);
}

bool uuid7UnixMs(const std::string& text, int64_t* unixMs)
{
    static const char kForm[] = "xxxxxxxx-xxxx-7xxx-8xxx-xxxxxxxxxxxx";
    if (text.size() != sizeof kForm - 1)
        return false;
    uint64_t stamp = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (kForm[i] == '-' ? c != '-' : !hex)
            return false;
        if (kForm[i] == '7' && c != '7')
            return false;
        if (kForm[i] == '8' && c != '8' && c != '9' && c != 'a' && c != 'b')
            return false;
        if (i < 13 && c != '-')
            stamp = stamp << 4 | static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    *unixMs = static_cast<int64_t>(stamp);
    return true;
}

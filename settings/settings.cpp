// The settings record and its 542-byte file. The layout is fixed byte for byte (older files
// must keep loading), so fields are encoded explicitly, little-endian, with no padding.
// Portable: the Windows application and the command-line tool share this file.
#include "settings/settings.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "settings/file_replace.h"

Settings settings = {0, 115200, '1', 1, {0}, {0}, {'K', 'M', '5', '2', 0}, 0};

namespace {

// Offsets of the fields in the file.
constexpr int kGangOffset = 0;
constexpr int kSpeedOffset = 4;
constexpr int kPortOffset = 8;
constexpr int kFilterOffset = 9;
constexpr int kSourceOffset = 13;
constexpr int kReleaseOffset = 273;
constexpr int kProductOffset = 533;
constexpr int kModeOffset = 538;

void putWord(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t getWord(const uint8_t* at)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(at[i]) << (8 * i);
    return value;
}

void encodeSettings(const Settings& s, uint8_t* file)
{
    putWord(file + kGangOffset, static_cast<uint32_t>(s.gangMode));
    putWord(file + kSpeedOffset, s.speed);
    file[kPortOffset] = static_cast<uint8_t>(s.portDigit);
    putWord(file + kFilterOffset, static_cast<uint32_t>(s.filterIndex));
    std::memcpy(file + kSourceOffset, s.sourcePath, kPathBufferSize);
    std::memcpy(file + kReleaseOffset, s.releasePath, kPathBufferSize);
    std::memcpy(file + kProductOffset, s.productId, sizeof s.productId);
    putWord(file + kModeOffset, static_cast<uint32_t>(s.downloadMode));
}

// A short file replaces each field only as far as its bytes go: the missing bytes of a field
// are taken from the field's present value, and later fields keep theirs.
void decodeSettings(const uint8_t* bytes, int length, Settings* s)
{
    uint8_t merged[kSettingsFileSize];
    encodeSettings(*s, merged);
    std::memcpy(merged, bytes, static_cast<size_t>(length));
    s->gangMode = static_cast<int32_t>(getWord(merged + kGangOffset));
    s->speed = getWord(merged + kSpeedOffset);
    s->portDigit = static_cast<char>(merged[kPortOffset]);
    s->filterIndex = static_cast<int32_t>(getWord(merged + kFilterOffset));
    std::memcpy(s->sourcePath, merged + kSourceOffset, kPathBufferSize);
    std::memcpy(s->releasePath, merged + kReleaseOffset, kPathBufferSize);
    std::memcpy(s->productId, merged + kProductOffset, sizeof s->productId);
    s->downloadMode = static_cast<int32_t>(getWord(merged + kModeOffset));
    // The file may hold no terminating zero: every later reader of these buffers relies on one.
    s->sourcePath[kPathBufferSize - 1] = 0;
    s->releasePath[kPathBufferSize - 1] = 0;
    s->productId[sizeof s->productId - 1] = 0;
}

void setNoFileDefaults(Settings* s)
{
    s->gangMode = 0;
    s->speed = 115200;
    s->portDigit = '1';
    s->filterIndex = 1;
    s->sourcePath[0] = 0;
    s->releasePath[0] = 0;
}

}  // namespace

void resetSettings(Settings* s)
{
    std::memset(s, 0, sizeof *s);
    setNoFileDefaults(s);
    std::memcpy(s->productId, "KM52", 5);
    s->downloadMode = 0;
}

bool loadSettingsFile(const char* path, Settings* s)
{
    // "r+b" as always: a file that cannot be rewritten is not taken as this run's settings.
    FILE* file = std::fopen(path, "r+b");
    if (!file) {
        setNoFileDefaults(s);
        return false;
    }
    uint8_t bytes[kSettingsFileSize];
    const size_t length = std::fread(bytes, 1, sizeof bytes, file);
    std::fclose(file);
    decodeSettings(bytes, static_cast<int>(length), s);
    return true;
}

bool saveSettingsFile(const char* path, const Settings& s)
{
    uint8_t bytes[kSettingsFileSize];
    encodeSettings(s, bytes);
    const std::string partial = std::string(path) + ".new";
    FILE* file = std::fopen(partial.c_str(), "wb");
    if (!file)
        return false;
    bool written = std::fwrite(bytes, 1, sizeof bytes, file) == sizeof bytes;
    written = std::fflush(file) == 0 && written;
    written = std::fclose(file) == 0 && written;
    if (!written || !replaceFile(partial.c_str(), path)) {
        std::remove(partial.c_str());
        return false;
    }
    return true;
}

std::string settingsFilePath(const std::string& directory, char separator)
{
    return directory + separator + kSettingsFileName;
}

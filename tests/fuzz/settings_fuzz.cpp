// libFuzzer harness of the settings file loader: a file of any length and content loads
// without reading or writing out of bounds, replaces the fields only as far as its bytes go,
// and leaves every text field zero-terminated within its buffer.
//
// The record before each load is always the same, saved once with saveSettingsFile; each
// field after the load must equal what the file's bytes, followed by the saved record's bytes
// where the file is too short, say (a text field's last byte may have become its terminator).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "settings/settings.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// The fields lie back to back: gang 4, speed 4, port 1, filter 4, two paths, product 5, mode 4.
constexpr size_t kSourceOffset = 13;
constexpr size_t kReleaseOffset = kSourceOffset + kPathBufferSize;
constexpr size_t kProductOffset = kReleaseOffset + kPathBufferSize;
constexpr size_t kModeOffset = kProductOffset + 5;
static_assert(kModeOffset + 4 == kSettingsFileSize, "fields back to back");

// A record that differs from the defaults everywhere, so that a field the file does not reach
// shows whether it was kept.
Settings pattern()
{
    Settings s;
    resetSettings(&s);
    s.gangMode = 1;
    s.speed = 57600;
    s.portDigit = '3';
    s.filterIndex = 4;
    std::memset(s.sourcePath, 'S', sizeof s.sourcePath - 1);
    std::memset(s.releasePath, 'R', sizeof s.releasePath - 1);
    std::memcpy(s.productId, "ABCD", 5);
    s.downloadMode = 2;
    return s;
}

std::string folder;
std::string inputPath;
std::vector<uint8_t> patternBytes;

void removeFolder()
{
    std::remove(inputPath.c_str());
    std::remove((folder + "/pattern.cfg").c_str());
    rmdir(folder.c_str());
}

void setUp()
{
    char path[] = "/tmp/tarvolo-settings-fuzz-XXXXXX";
    require(mkdtemp(path) != nullptr);
    folder = path;
    inputPath = folder + "/in.cfg";
    std::atexit(removeFolder);

    const std::string saved = folder + "/pattern.cfg";
    require(saveSettingsFile(saved.c_str(), pattern()));
    FILE* file = std::fopen(saved.c_str(), "rb");
    require(file != nullptr);
    patternBytes.resize(kSettingsFileSize + 1);
    patternBytes.resize(std::fread(patternBytes.data(), 1, patternBytes.size(), file));
    std::fclose(file);
    require(patternBytes.size() == static_cast<size_t>(kSettingsFileSize));
}

void writeInput(const uint8_t* bytes, size_t size)
{
    FILE* file = std::fopen(inputPath.c_str(), "wb");
    require(file != nullptr);
    require(std::fwrite(bytes, 1, size, file) == size);
    require(std::fclose(file) == 0);
}

uint32_t word(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// A text field as loaded: its bytes from the file, zero-terminated within the buffer (the
// last byte may have been forced to zero for that).
void checkText(const char* loaded, const uint8_t* expected, size_t size)
{
    require(std::memchr(loaded, 0, size) != nullptr);
    require(std::memcmp(loaded, expected, size - 1) == 0);
    require(static_cast<uint8_t>(loaded[size - 1]) == expected[size - 1] || loaded[size - 1] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (folder.empty())
        setUp();
    Settings s = pattern();
    writeInput(data, size);
    require(loadSettingsFile(inputPath.c_str(), &s));

    std::vector<uint8_t> e = patternBytes;
    std::memcpy(e.data(), data, size < e.size() ? size : e.size());
    require(s.gangMode == static_cast<int32_t>(word(&e[0])));
    require(s.speed == word(&e[4]));
    require(static_cast<uint8_t>(s.portDigit) == e[8]);
    require(s.filterIndex == static_cast<int32_t>(word(&e[9])));
    checkText(s.sourcePath, &e[kSourceOffset], sizeof s.sourcePath);
    checkText(s.releasePath, &e[kReleaseOffset], sizeof s.releasePath);
    checkText(s.productId, &e[kProductOffset], sizeof s.productId);
    require(s.downloadMode == static_cast<int32_t>(word(&e[kModeOffset])));
    return 0;
}

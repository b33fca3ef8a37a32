// The settings record and its file "Tarvolo.cfg": eight fields back to back, little-endian,
// 542 bytes, in the start-up directory. Portable: the Windows application and the
// command-line tool share it.
#ifndef TARVOLO_SETTINGS_SETTINGS_H
#define TARVOLO_SETTINGS_SETTINGS_H

#include <cstdint>
#include <string>

constexpr int kPathBufferSize = 260;
constexpr int kSettingsFileSize = 542;
constexpr const char kSettingsFileName[] = "Tarvolo.cfg";

struct Settings {
    int32_t gangMode;                    // 0 or 1
    uint32_t speed;                      // download speed in baud
    char portDigit;                      // '1' to '4'
    int32_t filterIndex;                 // 1-based index in the open dialog's file types
    char sourcePath[kPathBufferSize];    // zero-terminated (when read from a file: not always)
    char releasePath[kPathBufferSize];
    char productId[5];                   // 4 characters and a zero
    int32_t downloadMode;                // DownloadMode
};

// The process-wide settings, at their program-start values until loaded.
extern Settings settings;

// Program-start values: gang off, 115200, COM1, filter 1, no paths, "KM52", mode 0.
void resetSettings(Settings* s);

// Loads `path` into *s. A missing or unopenable file sets the no-file defaults (gang,
// speed, port, filter, paths) and keeps productId and downloadMode. A short file replaces
// fields only as far as it goes. Returns true when a file was read.
bool loadSettingsFile(const char* path, Settings* s);

// Writes the 542-byte file beside `path` and replaces `path` only once it is complete.
// Returns false (and leaves any previous file as it was) when it cannot be written.
bool saveSettingsFile(const char* path, const Settings& s);

// The settings file's full name in `directory`: the directory, the separator and the file
// name, with no separator dropped or added. No length limit applies.
std::string settingsFilePath(const std::string& directory, char separator);

#endif

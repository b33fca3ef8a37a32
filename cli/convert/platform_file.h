// The file operations whose safe form differs between the operating systems. One
// implementation per system, chosen by the build.
#ifndef TARVOLO_CLI_CONVERT_PLATFORM_FILE_H
#define TARVOLO_CLI_CONVERT_PLATFORM_FILE_H

#include <cstdio>
#include <string>

namespace convert {

// Pushes what was written to `file` to the disk, so that a rename after it cannot expose an
// empty file after a power cut. Returns false on failure.
bool flushToDisk(std::FILE* file);

// Replaces `to` by `from` in one step (an existing `to` is overwritten). On failure returns
// false and sets `why`.
bool replaceFile(const std::string& from, const std::string& to, std::string& why);

// True when both paths exist and name the same file (the same device and file number, or on
// Windows the same volume and file index), however differently they are spelt.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace convert

#endif

// The download modes as the tools spell them, in options and in the production record:
// "erase" (erase, then download), "normal" (download without erase), "patch".
#ifndef TARVOLO_SESSION_MODES_H
#define TARVOLO_SESSION_MODES_H

#include <cstdint>
#include <map>
#include <string>

// Each word with its DownloadMode.
const std::map<std::string, int32_t>& downloadModeWords();
// The word of a DownloadMode; "unknown" for any other value.
const char* modeWord(int32_t mode);

#endif

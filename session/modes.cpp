// The download modes' words (see modes.h).
#include "session/modes.h"

#include "engine/wire.h"

const std::map<std::string, int32_t>& downloadModeWords()
{
    static const std::map<std::string, int32_t> words = {
        {"erase", kModeEraseAndDownload}, {"normal", kModeNormal}, {"patch", kModePatch}};
    return words;
}

const char* modeWord(int32_t mode)
{
    for (const auto& [word, value] : downloadModeWords())
        if (value == mode)
            return word.c_str();
    return "unknown";
}

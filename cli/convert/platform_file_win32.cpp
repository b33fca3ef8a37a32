// File replacement on Windows, where rename() refuses an existing target: MoveFileEx with
// MOVEFILE_REPLACE_EXISTING does it in one step.
#include <windows.h>
#include <io.h>

#include <cstdio>

#include "cli/convert/platform_file.h"

namespace convert {

bool flushToDisk(std::FILE* file)
{
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool replaceFile(const std::string& from, const std::string& to, std::string& why)
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   GetLastError(), 0, text, sizeof text, nullptr);
    why = text;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' '))
        why.pop_back();
    return false;
}

}  // namespace convert

// File replacement on Windows, where rename() refuses an existing target: MoveFileEx with
// MOVEFILE_REPLACE_EXISTING does it in one step. A file's identity is its volume and index.
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

namespace {

bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info)
{
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b)
{
    BY_HANDLE_FILE_INFORMATION first, second;
    return fileIdentity(a, &first) && fileIdentity(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

}  // namespace convert

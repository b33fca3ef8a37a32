// The running executable on Windows: the module file of the process.
#include <windows.h>

#include "record/tool_identity.h"

std::string runningExecutablePath()
{
    char path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return {};
    return std::string(path, n);
}

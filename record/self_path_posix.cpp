// The running executable on Linux: the /proc/self/exe link.
#include <unistd.h>

#include "record/tool_identity.h"

std::string runningExecutablePath()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path)
        return {};
    return std::string(path, static_cast<size_t>(n));
}

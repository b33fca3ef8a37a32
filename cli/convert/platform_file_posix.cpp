// File replacement on POSIX systems: rename(2) replaces the target atomically.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/convert/platform_file.h"

namespace convert {

bool flushToDisk(std::FILE* file)
{
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool replaceFile(const std::string& from, const std::string& to, std::string& why)
{
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
    why = std::strerror(errno);
    return false;
}

}  // namespace convert

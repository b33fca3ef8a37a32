// File replacement on POSIX systems: rename(2) replaces the target atomically; a file's
// identity is its device and inode number.
#include <sys/stat.h>
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

bool sameFile(const std::string& a, const std::string& b)
{
    struct stat first, second;
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace convert

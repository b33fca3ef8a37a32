// An owner-only file on POSIX (owner_only_file.h): mode 0600 from its creation.
#include "signing/owner_only_file.h"

#include <fcntl.h>
#include <unistd.h>

bool createOwnerOnlyFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

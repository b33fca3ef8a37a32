// Secret files on POSIX (secret_file.h): the mode's group and other bits.
#include "web/secret_file.h"

#include <sys/stat.h>

#include <cstdio>

bool secretFileKept(const std::string& path, const std::string& what, std::string* error)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & 077) == 0)
        return true;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
    *error = what + " " + path + " is open to other users (mode " + mode + "): make it yours alone with chmod 600 " +
             path;
    return false;
}

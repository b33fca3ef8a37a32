// A password file's mode on POSIX systems (password_file.h).
#include "central/password_file.h"

#include <sys/stat.h>

#include <cstdio>

bool passwordFilePrivate(const std::string& path, std::string* error)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) {
        *error = "cannot read the password file " + path;
        return false;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) == 0)
        return true;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *error = "the password file " + path + " may be read or changed by other users (mode " + mode +
             "): make it the owner's alone with chmod 600 " + path;
    return false;
}

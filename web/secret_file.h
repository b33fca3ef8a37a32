// Whether a file that holds a secret (a page's token) is kept from other users, one file per
// OS: on POSIX a token another account can read is no longer the operator's secret, so it is
// refused rather than served with. Windows files carry access lists the tool does not judge.
#ifndef TARVOLO_WEB_SECRET_FILE_H
#define TARVOLO_WEB_SECRET_FILE_H

#include <string>

// False with a message naming the file and the fix when its group or other users may read or
// change it. True when it cannot be looked at (reading it then tells why).
bool secretFileKept(const std::string& path, const std::string& what, std::string* error);

#endif

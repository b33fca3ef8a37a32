// A new, empty file that only its owner may open, made before a secret goes into it (so no
// other user can have opened it in between). One file per platform: owner_only_file_posix.cpp
// (mode 0600 at creation), owner_only_file_win32.cpp (the folder's ACL, which a user's own
// profile folder already limits to that user).
#ifndef TARVOLO_SIGNING_OWNER_ONLY_FILE_H
#define TARVOLO_SIGNING_OWNER_ONLY_FILE_H

#include <string>

// False when the file exists already or cannot be made.
bool createOwnerOnlyFile(const std::string& path);

#endif

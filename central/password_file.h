// Whether a password file is the owner's alone. A password kept in a file others may read is
// as public as one on the command line, so the file must be closed to them; on Windows a
// file's access is its folder's ACLs, which the site sets, and nothing is checked.
#ifndef TARVOLO_CENTRAL_PASSWORD_FILE_H
#define TARVOLO_CENTRAL_PASSWORD_FILE_H

#include <string>

// False with a message naming the file and how to close it (or why it cannot be looked at).
bool passwordFilePrivate(const std::string& path, std::string* error);

#endif

// An owner-only file on Windows (owner_only_file.h): made new; its access is what the folder's
// ACL gives (keep secret keys in the user's own profile folder).
#include "signing/owner_only_file.h"

#include <windows.h>

bool createOwnerOnlyFile(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

// POSIX has no short file names: a path's short form is the path itself.
#include "settings/path_record.h"

#include <cstring>

size_t shortPathName(const char* path, char* out, size_t size)
{
    const size_t length = std::strlen(path);
    if (length == 0 || length >= size)
        return 0;
    std::memcpy(out, path, length + 1);
    return length;
}

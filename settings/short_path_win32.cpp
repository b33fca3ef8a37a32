// Windows short (8.3) file names.
#include "settings/path_record.h"

#include <windows.h>

size_t shortPathName(const char* path, char* out, size_t size)
{
    if (path[0] == 0)
        return 0;
    char buffer[MAX_PATH * 4];
    const DWORD length = GetShortPathNameA(path, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer || length >= size)
        return 0;
    copyBounded(out, size, buffer);
    return length;
}

// POSIX file replacement: rename replaces the target atomically.
#include "settings/file_replace.h"

#include <cstdio>

bool replaceFile(const char* from, const char* to)
{
    return std::rename(from, to) == 0;
}

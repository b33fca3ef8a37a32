// Windows file replacement: rename does not replace an existing file there, MoveFileEx does.
#include "settings/file_replace.h"

#include <windows.h>

bool replaceFile(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

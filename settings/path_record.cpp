// Path records: splitting a path and deriving the short forms. Portable; the short-name
// lookup itself is per platform (short_path_posix.cpp, short_path_win32.cpp).
#include "settings/path_record.h"

#include <algorithm>
#include <cstring>
#include <string>

void copyBounded(char* to, size_t size, const char* from)
{
    if (size == 0)
        return;
    const size_t n = std::min(std::strlen(from), size - 1);
    std::memcpy(to, from, n);
    to[n] = 0;
}

namespace {

void copyRange(char* to, size_t size, const char* begin, const char* end)
{
    copyBounded(to, size, std::string(begin, end).c_str());
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Replaces `part` by its short form when the platform has one that fits.
template <size_t N>
void shortenInPlace(char (&part)[N])
{
    char shorter[N];
    if (part[0] != 0 && shortPathName(part, shorter, N) > 0)
        copyBounded(part, N, shorter);
}

}  // namespace

void splitPath(const char* path, char (&drive)[3], char (&dir)[256], char (&fname)[256],
               char (&ext)[256])
{
    const char* rest = path;
    drive[0] = 0;
    if (rest[0] != 0 && rest[1] == ':') {
        copyRange(drive, sizeof drive, rest, rest + 2);
        rest += 2;
    }
    const char* nameStart = rest;
    for (const char* p = rest; *p; ++p)
        if (isSeparator(*p))
            nameStart = p + 1;
    copyRange(dir, sizeof dir, rest, nameStart);
    const char* dot = std::strrchr(nameStart, '.');
    const char* nameEnd = dot ? dot : nameStart + std::strlen(nameStart);
    copyRange(fname, sizeof fname, nameStart, nameEnd);
    copyBounded(ext, sizeof ext, nameEnd);
}

void derivePathRecord(PathRecord* r)
{
    r->fullPath[sizeof r->fullPath - 1] = 0;
    const size_t shortLength = shortPathName(r->fullPath, r->shortPath, sizeof r->shortPath);
    if (shortLength == 0)
        r->shortPath[0] = 0;
    // A file that does not exist yet (a release file before its conversion) has no short
    // form: split the path as given.
    splitPath(shortLength > 0 ? r->shortPath : r->fullPath, r->drive, r->dir, r->fname, r->ext);
    shortenInPlace(r->dir);
    copyBounded(r->driveDir, sizeof r->driveDir, (std::string(r->drive) + r->dir).c_str());
    shortenInPlace(r->fname);
    copyBounded(r->nameExt, sizeof r->nameExt, (std::string(r->fname) + r->ext).c_str());
}

void setFullPath(PathRecord* record, const char* path)
{
    copyBounded(record->fullPath, sizeof record->fullPath, path);
    derivePathRecord(record);
}

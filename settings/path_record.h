// A file path kept with the pieces the file dialogs and the conversion need: drive,
// directory, name, extension, their joins, and the short (8.3) forms.
#ifndef TARVOLO_SETTINGS_PATH_RECORD_H
#define TARVOLO_SETTINGS_PATH_RECORD_H

#include <cstddef>

struct PathRecord {
    char drive[3];       // "C:" or empty
    char dir[256];       // with leading and trailing separator, or empty
    char fname[256];     // name without extension
    char ext[256];       // extension with its dot, or empty
    char driveDir[259];  // drive + dir
    char nameExt[512];   // fname + ext; also the file dialogs' name buffer
    char fullPath[260];  // the path as chosen or stored; the only persisted field
    char shortPath[260]; // short form of fullPath
};

// Re-derives every field but fullPath from fullPath (which is never changed). Never writes
// past a field, whatever fullPath holds.
void derivePathRecord(PathRecord* record);

// Copies `path` into fullPath (cut to fit) and derives the rest.
void setFullPath(PathRecord* record, const char* path);

// Splits a path as the runtime's _splitpath does (either slash separates), cutting each part
// to its buffer size.
void splitPath(const char* path, char (&drive)[3], char (&dir)[256], char (&fname)[256],
               char (&ext)[256]);

// Copies `from` into a buffer of `size` bytes, cut to fit and always terminated.
void copyBounded(char* to, size_t size, const char* from);

// The platform's short form of `path` into `out` (`size` bytes). Returns its length, or 0
// when there is none (the file does not exist) or it does not fit. One file per platform.
size_t shortPathName(const char* path, char* out, size_t size);

#endif

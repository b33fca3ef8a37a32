// The release file a station flashes, checked once at its start and copied to a private,
// read-only file that the workers read: replacing the file during a shift cannot change what
// units receive in the middle of a run, and every unit's record names the SHA-256 of exactly
// the bytes its handset was sent. Station's main thread.
#ifndef TARVOLO_STATION_RELEASE_COPY_H
#define TARVOLO_STATION_RELEASE_COPY_H

#include <string>

struct ReleaseCopy {
    std::string name;       // the file as the operator named it
    std::string copyPath;   // the private copy the workers read
    std::string folder;     // the station's private folder (worker logs too)
    std::string sha256;     // of the copy
    std::string productId;  // its first four bytes, as the record shows them
};

// Copies `path` into a new private folder, makes the copy read-only and checks it: readable,
// a product identifier, at least one block of image. False with a one-line reason otherwise
// (nothing is left behind then).
bool prepareReleaseCopy(const std::string& path, ReleaseCopy* copy, std::string* error);
// Removes the private folder.
void removeReleaseCopy(const ReleaseCopy& copy);

#endif

// The release file a station flashes, checked once at its start and copied to a private,
// read-only file that the workers read: replacing the file during a shift cannot change what
// units receive in the middle of a run, and every unit's record names the SHA-256 of exactly
// the bytes its handset was sent.
//
// The copy lives in a folder only the station's user can enter, named after the station's
// process, and goes at exit; a station that was killed leaves its folder behind, and the next
// station removes the folders of stations that no longer run. The copy is hashed as it is
// written, a piece at a time, so a large file can be interrupted. Station's main thread.
#ifndef TARVOLO_STATION_RELEASE_COPY_H
#define TARVOLO_STATION_RELEASE_COPY_H

#include <functional>
#include <string>

struct ReleaseCopy {
    std::string name;       // the file as the operator named it
    std::string copyPath;   // the private copy the workers read
    std::string folder;     // the station's private folder (worker logs too)
    std::string sha256;     // of the copy
    std::string blake2b512; // of the copy, 64 bytes: what a minisign signature signs
    std::string productId;  // its first four bytes, as the record shows them
};

enum class CopyResult { Ready, Failed, Interrupted };

// Removes folders of stations gone, then copies `path` into a new private folder, makes the
// copy read-only and checks it: readable, a product identifier, at least one byte of image,
// no more than a download can address. Failed with a one-line reason, or Interrupted once
// `interrupted` says so (checked between pieces); nothing is left behind then.
CopyResult prepareReleaseCopy(const std::string& path, const std::function<bool()>& interrupted,
                              ReleaseCopy* copy, std::string* error);
// Removes the private folder.
void removeReleaseCopy(const ReleaseCopy& copy);

#endif

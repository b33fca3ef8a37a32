// The checks a release file passes before any port is opened for it: a file that is not a
// regular file (a FIFO would hang the open, a device or folder would be read as an image) or
// that holds no product identifier and image byte must be refused before a handset is
// touched. The command-line download, `tarvolo info` and the station say the same words.
#ifndef TARVOLO_SESSION_RELEASE_CHECK_H
#define TARVOLO_SESSION_RELEASE_CHECK_H

#include <cstdint>
#include <string>

// False with a one-line reason naming `name` when `path` is not a regular file.
bool checkRegularFile(const std::string& path, const std::string& name, std::string* error);

// False with the reason when a release file of `bytes` bytes (identifier included) holds no
// product identifier or no image byte after it.
bool checkReleaseLength(const std::string& name, uint64_t bytes, std::string* error);

// The regular file check, then a product identifier (copied to `productId`) and at least one
// image byte. `name` is the file as the operator named it (`path` may be a private copy).
bool checkReleaseFile(const std::string& path, const std::string& name, uint8_t productId[4],
                      std::string* error);

#endif

// SHA-256 digests through libgcrypt, as 64 lower-case hex digits: the release file's digest
// in the production record, and the tool's own (tool_identity.h). Safe from any thread.
#ifndef TARVOLO_RECORD_SHA256_H
#define TARVOLO_RECORD_SHA256_H

#include <cstddef>
#include <string>

// Initialises libgcrypt once for the whole program (the digests here and uuid7.h's random
// bits); any thread may call it, any number of times.
void initialiseGcrypt();

std::string sha256Hex(const void* data, size_t size);
// False with "cannot read PATH: reason" when the file cannot be opened or read.
bool sha256File(const std::string& path, std::string* hex, std::string* error);

// A digest fed piece by piece, for a caller that reads the bytes anyway (a copy) and must be
// able to stop between pieces. One thread at a time.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    // False when the library has no SHA-256 (then add and hex do nothing).
    bool ready() const { return handle_ != nullptr; }
    void add(const void* data, size_t size);
    std::string hex();

private:
    struct gcry_md_handle* handle_ = nullptr;
};

#endif

// Digests through libgcrypt: SHA-256 (the release's and the tool's identity in the record) and
// BLAKE2b-512 (what a release's signature signs). One class for both, fed piece by piece, so a
// caller that reads a file anyway (the station's copy) hashes it in the same pass.
#ifndef TARVOLO_RECORD_DIGEST_H
#define TARVOLO_RECORD_DIGEST_H

#include <cstddef>
#include <initializer_list>
#include <string>

// Initialises libgcrypt once for the whole program (the digests here, the signatures and
// uuid7.h's random bits); any thread may call it, any number of times.
void initialiseGcrypt();

enum class DigestKind { Sha256, Blake2b512 };

// One thread at a time.
class Digest {
public:
    explicit Digest(DigestKind kind);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
    // False when the library lacks the algorithm (then add does nothing and the results are empty).
    bool ready() const { return handle_ != nullptr; }
    void add(const void* data, size_t size);
    std::string bytes();
    std::string hex();  // lower-case

private:
    int algorithm_;
    struct gcry_md_handle* handle_ = nullptr;
};

// Reads the file once and feeds every digest. False with "cannot read PATH: reason".
bool digestFile(const std::string& path, std::initializer_list<Digest*> digests, std::string* error);

#endif

// SHA-256 digests as 64 lower-case hex digits: the release file's digest in the production
// record, and the tool's own (tool_identity.h). Safe from any thread.
#ifndef TARVOLO_RECORD_SHA256_H
#define TARVOLO_RECORD_SHA256_H

#include <cstddef>
#include <string>

#include "record/digest.h"

std::string sha256Hex(const void* data, size_t size);
// False with "cannot read PATH: reason" when the file cannot be opened or read.
bool sha256File(const std::string& path, std::string* hex, std::string* error);

class Sha256 : public Digest {
public:
    Sha256() : Digest(DigestKind::Sha256) {}
};

#endif

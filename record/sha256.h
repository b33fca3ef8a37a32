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

#endif

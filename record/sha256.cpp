// SHA-256 as hex (sha256.h).
#include "record/sha256.h"

std::string sha256Hex(const void* data, size_t size)
{
    Sha256 hash;
    hash.add(data, size);
    return hash.hex();
}

bool sha256File(const std::string& path, std::string* hex, std::string* error)
{
    Sha256 hash;
    if (!digestFile(path, {&hash}, error))
        return false;
    *hex = hash.hex();
    return true;
}

// The few primitives a minisign signature needs, from libgcrypt: Ed25519 (keys, signatures
// over a message), BLAKE2b (of a file, read a piece at a time, and of a buffer), scrypt
// (what encrypts a minisign secret key) and random bytes. Keys and signatures are raw byte
// strings of the sizes below. Safe from any thread.
#ifndef TARVOLO_SIGNING_SIGNING_CRYPTO_H
#define TARVOLO_SIGNING_SIGNING_CRYPTO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "record/digest.h"

constexpr size_t kEd25519SeedBytes = 32;
constexpr size_t kEd25519PublicBytes = 32;
constexpr size_t kEd25519SignatureBytes = 64;

// A new key: its 32-byte seed (the secret) and public key. False with a message.
bool ed25519NewKey(std::string* seed, std::string* publicKey, std::string* error);
// Signs `message` (PureEdDSA: the message itself, whatever its length). False with a message.
bool ed25519Sign(const std::string& seed, const std::string& publicKey, std::string_view message,
                 std::string* signature, std::string* error);
// True only for a valid signature of `message` by `publicKey`.
bool ed25519Verify(const std::string& publicKey, std::string_view message, const std::string& signature);

// BLAKE2b of `bytes` with a digest of 32 or 64 bytes (unkeyed).
std::string blake2b(std::string_view bytes, size_t digestBytes);
// BLAKE2b-512 of a file. False with "cannot read PATH: reason".
bool blake2b512File(const std::string& path, std::string* digest, std::string* error);

// BLAKE2b-512 fed piece by piece (bytes() is the 64-byte digest), for a caller that reads the
// bytes anyway (the station's copy).
class Blake2b512 : public Digest {
public:
    Blake2b512() : Digest(DigestKind::Blake2b512) {}
};

// scrypt with r = 8 (libsodium's and minisign's). False with a message.
bool scrypt(std::string_view password, std::string_view salt, uint64_t n, uint32_t p, size_t bytes,
            std::string* key, std::string* error);

std::string randomBytes(size_t count);

#endif

// minisign's secret key file: "untrusted comment: ..." and one base64 line of
//   "Ed" | kdf ("Sc": scrypt, or two zero bytes: not encrypted) | "B2" | salt (32) |
//   opslimit (8, little-endian) | memlimit (8) | key id (8) | secret key (64: seed, public key) |
//   checksum (32: BLAKE2b-256 of "Ed", key id and secret key)
// where, encrypted, the last 104 bytes are XORed with scrypt(password, salt) at the cost the
// two limits name (libsodium's reading of them). minisign -W writes the unencrypted form, and
// so does `tarvolo release keygen` without --password-file.
#ifndef TARVOLO_SIGNING_SECRET_KEY_H
#define TARVOLO_SIGNING_SECRET_KEY_H

#include <string>

#include "signing/minisign_format.h"

struct SecretKey {
    std::string keyId;      // 8 bytes
    std::string seed;       // 32 bytes
    std::string publicKey;  // 32 bytes
};

// A new key with a random id. False with a message.
bool newSecretKey(SecretKey* key, std::string* error);
PublicKey publicKeyOf(const SecretKey& key);

// Whether the file's text is an encrypted key (then parseSecretKey needs its password).
bool secretKeyEncrypted(const std::string& text);
// Reads the key; `password` is used only for an encrypted one. False with a reason ("wrong
// password", a cost this machine refuses, not a key).
bool parseSecretKey(const std::string& text, const std::string& password, SecretKey* key, std::string* error);
// The file's text, encrypted at minisign's own cost when `password` is not empty.
bool formatSecretKey(const SecretKey& key, const std::string& password, std::string* text, std::string* error);

#endif

// minisign's secret key file (secret_key.h).
#include "signing/secret_key.h"

#include <cstdint>

#include "signing/base64.h"
#include "signing/signing_crypto.h"

namespace {

constexpr size_t kSaltBytes = 32;
constexpr size_t kHeadBytes = 2 + 2 + 2 + kSaltBytes + 8 + 8;  // algorithms, salt, limits
constexpr size_t kSealedBytes = kKeyIdBytes + 64 + 32;          // id, secret key, checksum
// minisign's (libsodium's "sensitive") cost: 1 GiB of memory.
constexpr uint64_t kOpsLimit = 33554432;
constexpr uint64_t kMemLimit = 1073741824;
// What a key file from outside may make this program spend before it says no.
constexpr uint64_t kLargestMemory = 2ull << 30;
constexpr uint64_t kLargestWork = 1ull << 24;  // N * p

uint64_t loadLittle(const std::string& bytes, size_t at)
{
    uint64_t value = 0;
    for (size_t i = 8; i-- > 0;)
        value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

std::string little(uint64_t value)
{
    std::string bytes;
    for (int i = 0; i < 8; ++i, value >>= 8)
        bytes += static_cast<char>(value & 0xFF);
    return bytes;
}

// libsodium's crypto_pwhash_scryptsalsa208sha256 turns (opslimit, memlimit) into scrypt's N
// and p (r is 8) this way; a key made by minisign must decrypt with the same numbers.
void scryptCost(uint64_t opslimit, uint64_t memlimit, uint64_t* n, uint32_t* p)
{
    if (opslimit < 32768)
        opslimit = 32768;
    const uint64_t r = 8;
    uint64_t maxN = opslimit < memlimit / 32 ? opslimit / (r * 4) : memlimit / (r * 128);
    unsigned log2 = 1;
    while (log2 < 63 && (uint64_t{1} << log2) <= maxN / 2)
        ++log2;
    *n = uint64_t{1} << log2;
    if (opslimit < memlimit / 32) {
        *p = 1;
        return;
    }
    uint64_t maxrp = (opslimit / 4) / *n;
    if (maxrp > 0x3fffffff)
        maxrp = 0x3fffffff;
    *p = static_cast<uint32_t>(maxrp / r);
}

std::string checksumOf(const std::string& keyId, const std::string& secret)
{
    return blake2b("Ed" + keyId + secret, 32);
}

// XORs `sealed` with the scrypt stream of the password at the head's cost.
bool applyPassword(const std::string& head, const std::string& password, std::string* sealed, std::string* error)
{
    uint64_t n = 0;
    uint32_t p = 0;
    scryptCost(loadLittle(head, 6 + kSaltBytes), loadLittle(head, 14 + kSaltBytes), &n, &p);
    if (p == 0 || n * 128 * 8 > kLargestMemory || n * p > kLargestWork) {
        *error = "the key's encryption asks for more memory or work than this program gives it";
        return false;
    }
    std::string stream;
    if (!scrypt(password, head.substr(6, kSaltBytes), n, p, sealed->size(), &stream, error))
        return false;
    for (size_t i = 0; i < sealed->size(); ++i)
        (*sealed)[i] = static_cast<char>((*sealed)[i] ^ stream[i]);
    return true;
}

}  // namespace

bool newSecretKey(SecretKey* key, std::string* error)
{
    key->keyId = randomBytes(kKeyIdBytes);
    return ed25519NewKey(&key->seed, &key->publicKey, error);
}

PublicKey publicKeyOf(const SecretKey& key) { return {key.keyId, key.publicKey}; }

namespace {

bool decodeSecretKey(const std::string& text, std::string* bytes)
{
    const size_t lineStart = text.find('\n');
    std::string line = text.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return base64Decode(line, bytes) && bytes->size() == kHeadBytes + kSealedBytes &&
           bytes->compare(0, 2, "Ed") == 0 && bytes->compare(4, 2, "B2") == 0;
}

}  // namespace

bool secretKeyEncrypted(const std::string& text)
{
    std::string bytes;
    return decodeSecretKey(text, &bytes) && bytes.compare(2, 2, "Sc") == 0;
}

bool parseSecretKey(const std::string& text, const std::string& password, SecretKey* key, std::string* error)
{
    std::string bytes;
    if (!decodeSecretKey(text, &bytes)) {
        *error = "not a minisign secret key";
        return false;
    }
    const std::string kdf = bytes.substr(2, 2);
    if (kdf != "Sc" && kdf != std::string(2, '\0')) {
        *error = "a secret key encrypted in a way this program does not know";
        return false;
    }
    std::string sealed = bytes.substr(kHeadBytes);
    if (kdf == "Sc" && !applyPassword(bytes.substr(0, kHeadBytes), password, &sealed, error))
        return false;
    key->keyId = sealed.substr(0, kKeyIdBytes);
    const std::string secret = sealed.substr(kKeyIdBytes, 64);
    const std::string checksum = sealed.substr(kKeyIdBytes + 64);
    // minisign leaves the checksum of an unencrypted key at zero.
    if (checksum != checksumOf(key->keyId, secret) && (kdf == "Sc" || checksum != std::string(32, '\0'))) {
        *error = kdf == "Sc" ? "wrong password for this key" : "the secret key is damaged (its checksum differs)";
        return false;
    }
    key->seed = secret.substr(0, 32);
    key->publicKey = secret.substr(32);
    return true;
}

bool formatSecretKey(const SecretKey& key, const std::string& password, std::string* text, std::string* error)
{
    const bool encrypt = !password.empty();
    const std::string secret = key.seed + key.publicKey;
    std::string head = std::string("Ed") + (encrypt ? std::string("Sc") : std::string(2, '\0')) + "B2";
    head += encrypt ? randomBytes(kSaltBytes) : std::string(kSaltBytes, '\0');
    head += little(encrypt ? kOpsLimit : 0) + little(encrypt ? kMemLimit : 0);
    std::string sealed = key.keyId + secret + (encrypt ? checksumOf(key.keyId, secret) : std::string(32, '\0'));
    if (encrypt && !applyPassword(head, password, &sealed, error))
        return false;
    *text = std::string("untrusted comment: ") + (encrypt ? "minisign encrypted secret key" : "minisign secret key") +
            "\n" + base64Encode(head + sealed) + "\n";
    return true;
}

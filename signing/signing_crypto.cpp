// Ed25519, BLAKE2b and scrypt through libgcrypt (signing_crypto.h). Key material goes to and
// from libgcrypt as S-expressions; an EdDSA signature's r and s are opaque 32-byte strings there.
#include "signing/signing_crypto.h"

#include <gcrypt.h>

#include <memory>

#include "record/digest.h"

namespace {

struct SexpFree {
    void operator()(gcry_sexp_t s) const { gcry_sexp_release(s); }
};
using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpFree>;

// The bytes of the token `name`'s first value in `sexp`; a value shorter than `size` (an
// integer whose leading zero bytes were dropped) is padded back at the front.
bool tokenBytes(gcry_sexp_t sexp, const char* name, size_t size, std::string* bytes)
{
    Sexp token(gcry_sexp_find_token(sexp, name, 0));
    if (!token)
        return false;
    size_t length = 0;
    const char* data = gcry_sexp_nth_data(token.get(), 1, &length);
    if (!data)
        return false;
    std::string value(data, length);
    if (value.size() == size + 1 && static_cast<uint8_t>(value[0]) == 0x40)
        value.erase(0, 1);  // a point in libgcrypt's prefixed native form
    if (value.size() > size)
        return false;
    *bytes = std::string(size - value.size(), '\0') + value;
    return true;
}

Sexp publicKeySexp(const std::string& publicKey)
{
    gcry_sexp_t raw = nullptr;
    if (gcry_sexp_build(&raw, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                        static_cast<int>(publicKey.size()), publicKey.data()))
        return nullptr;
    return Sexp(raw);
}

Sexp messageSexp(std::string_view message)
{
    gcry_sexp_t raw = nullptr;
    if (gcry_sexp_build(&raw, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                        static_cast<int>(message.size()), message.data()))
        return nullptr;
    return Sexp(raw);
}

std::string gcryptText(gcry_error_t err) { return gcry_strerror(err); }

}  // namespace

bool ed25519NewKey(std::string* seed, std::string* publicKey, std::string* error)
{
    initialiseGcrypt();
    gcry_sexp_t params = nullptr;
    gcry_sexp_t raw = nullptr;
    gcry_error_t err = gcry_sexp_build(&params, nullptr, "(genkey (ecc (curve Ed25519) (flags eddsa)))");
    if (!err)
        err = gcry_pk_genkey(&raw, params);
    gcry_sexp_release(params);
    Sexp key(raw);
    if (err || !tokenBytes(key.get(), "d", kEd25519SeedBytes, seed) ||
        !tokenBytes(key.get(), "q", kEd25519PublicBytes, publicKey)) {
        *error = "cannot make an Ed25519 key: " + (err ? gcryptText(err) : std::string("unexpected key form"));
        return false;
    }
    return true;
}

bool ed25519Sign(const std::string& seed, const std::string& publicKey, std::string_view message,
                 std::string* signature, std::string* error)
{
    initialiseGcrypt();
    gcry_sexp_t rawKey = nullptr;
    gcry_error_t err = gcry_sexp_build(
        &rawKey, nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (q %b) (d %b)))",
        static_cast<int>(publicKey.size()), publicKey.data(), static_cast<int>(seed.size()), seed.data());
    Sexp key(rawKey);
    Sexp data = messageSexp(message);
    gcry_sexp_t rawSig = nullptr;
    if (!err)
        err = data ? gcry_pk_sign(&rawSig, data.get(), key.get()) : gcry_error(GPG_ERR_ENOMEM);
    Sexp sig(rawSig);
    std::string r, s;
    if (err || !tokenBytes(sig.get(), "r", 32, &r) || !tokenBytes(sig.get(), "s", 32, &s)) {
        *error = "cannot sign: " + (err ? gcryptText(err) : std::string("unexpected signature form"));
        return false;
    }
    *signature = r + s;
    return true;
}

bool ed25519Verify(const std::string& publicKey, std::string_view message, const std::string& signature)
{
    initialiseGcrypt();
    if (publicKey.size() != kEd25519PublicBytes || signature.size() != kEd25519SignatureBytes)
        return false;
    Sexp key = publicKeySexp(publicKey);
    Sexp data = messageSexp(message);
    gcry_sexp_t rawSig = nullptr;
    if (!key || !data ||
        gcry_sexp_build(&rawSig, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32, signature.data(), 32,
                        signature.data() + 32))
        return false;
    Sexp sig(rawSig);
    return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}

std::string blake2b(std::string_view bytes, size_t digestBytes)
{
    initialiseGcrypt();
    const int algo = digestBytes == 32 ? GCRY_MD_BLAKE2B_256 : GCRY_MD_BLAKE2B_512;
    std::string digest(gcry_md_get_algo_dlen(algo), '\0');
    gcry_md_hash_buffer(algo, digest.data(), bytes.data(), bytes.size());
    return digest;
}

bool blake2b512File(const std::string& path, std::string* digest, std::string* error)
{
    Blake2b512 hash;
    if (!digestFile(path, {&hash}, error))
        return false;
    *digest = hash.bytes();
    return true;
}

bool scrypt(std::string_view password, std::string_view salt, uint64_t n, uint32_t p, size_t bytes,
            std::string* key, std::string* error)
{
    initialiseGcrypt();
    key->assign(bytes, '\0');
    const gcry_error_t err = gcry_kdf_derive(password.data(), password.size(), GCRY_KDF_SCRYPT,
                                             static_cast<int>(n), salt.data(), salt.size(), p, bytes, key->data());
    if (err)
        *error = "cannot derive the key's protection from the password: " + gcryptText(err);
    return !err;
}

std::string randomBytes(size_t count)
{
    initialiseGcrypt();
    std::string bytes(count, '\0');
    gcry_randomize(bytes.data(), count, GCRY_STRONG_RANDOM);
    return bytes;
}

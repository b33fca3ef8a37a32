// libFuzzer harness of the signing parsers (bytes from outside: a public key, a signature, a
// secret key, revocation list rows as read from a file or the central database). The input is
// tried as each; what parses must print back to a text that parses to the same values, and a
// base64 text that decodes must be the canonical encoding of what it decodes to. An encrypted
// secret key is only recognised, not decrypted (scrypt at the cost the key asks is not fuzzing).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "signing/base64.h"
#include "signing/minisign_format.h"
#include "signing/release_signature.h"
#include "signing/revocation_list.h"
#include "signing/secret_key.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void publicKeyRoundTrip(const std::string& text)
{
    PublicKey key, again;
    std::string error;
    if (!parsePublicKey(text, &key, &error))
        return;
    require(parsePublicKey(formatPublicKey(key), &again, &error));
    require(again.keyId == key.keyId && again.key == key.key);
}

void signatureRoundTrip(const std::string& text)
{
    SignatureFile s, again;
    std::string error;
    if (!parseSignatureFile(text, &s, &error))
        return;
    const std::string printed = formatSignatureFile(s);
    require(parseSignatureFile(printed, &again, &error));
    require(again.keyId == s.keyId && again.signature == s.signature && again.prehashed == s.prehashed &&
            again.globalSignature == s.globalSignature);
    // A comment holding a line break cannot have come from one line; the rest must survive.
    if (s.trustedComment.find('\r') == std::string::npos)
        require(again.trustedComment == s.trustedComment);
    commentField(s.trustedComment, "product");
}

void secretKeyRead(const std::string& text)
{
    if (secretKeyEncrypted(text))
        return;
    SecretKey key;
    std::string error, printed;
    if (parseSecretKey(text, "", &key, &error)) {
        require(key.keyId.size() == 8 && key.seed.size() == 32 && key.publicKey.size() == 32);
        require(formatSecretKey(key, "", &printed, &error));
    }
}

void base64RoundTrip(const std::string& text)
{
    std::string bytes;
    if (base64Decode(text, &bytes))
        require(base64Encode(bytes) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    base64RoundTrip(text);
    publicKeyRoundTrip(text);
    signatureRoundTrip(text);
    secretKeyRead(text);
    // A list row from a database: no key trusts it, so it must be refused, never believed.
    RevocationList list;
    std::string error;
    require(!parseSignedRevocations(text, text, {}, "fuzz", &list, &error));
    return 0;
}

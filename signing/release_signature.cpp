// Release signatures (release_signature.h).
#include "signing/release_signature.h"

#include <filesystem>
#include <functional>
#include <sstream>

#include "signing/signing_crypto.h"

namespace {

// The legacy "Ed" form signs the whole file, which must then be read into memory: a release
// larger than this is refused in that form (minisign has signed prehashed for years).
constexpr size_t kLegacyLargest = 256u << 20;
constexpr size_t kLargestSignature = 16384;

SignatureCheck verdict(SignatureVerdict v, const std::string& why, SignatureCheck check = {})
{
    check.verdict = v;
    check.why = why;
    return check;
}

bool messageOf(const std::string& path, bool prehashed, std::string* message, std::string* error)
{
    if (prehashed)
        return blake2b512File(path, message, error);
    return readSmallFile(path, kLegacyLargest, message, error);
}

}  // namespace

std::string releaseComment(const ReleaseFacts& f, long long timestamp)
{
    std::string comment = "timestamp:" + std::to_string(timestamp) + "\tfile:" + f.fileName +
                          "\tproduct:" + f.productId + "\tsha256:" + f.sha256 + "\trelease:" + f.releaseName;
    if (!f.note.empty())
        comment += "\tnote:" + f.note;
    return comment;
}

std::string commentField(const std::string& comment, const std::string& field)
{
    std::istringstream in(comment);
    for (std::string item; std::getline(in, item, '\t');)
        if (item.compare(0, field.size() + 1, field + ":") == 0)
            return item.substr(field.size() + 1);
    return {};
}

std::string signaturePathOf(const std::string& releasePath) { return releasePath + ".minisig"; }

namespace {

bool signDigest(const std::string& digest, const SecretKey& key, const std::string& trustedComment,
                SignatureFile* s, std::string* error)
{
    s->untrustedComment = "signature from tarvolo secret key " + keyIdText(key.keyId);
    s->prehashed = true;
    s->keyId = key.keyId;
    s->trustedComment = trustedComment;
    return ed25519Sign(key.seed, key.publicKey, digest, &s->signature, error) &&
           ed25519Sign(key.seed, key.publicKey, s->signature + trustedComment, &s->globalSignature, error);
}

// What the file's signature signs: its BLAKE2b-512, or (legacy) the file itself.
using MessageOf = std::function<bool(bool prehashed, std::string* message, std::string* error)>;

SignatureCheck verifyMessage(const MessageOf& messageOf, const std::string& signatureText,
                             const std::vector<PublicKey>& keys, const std::string& name);

}  // namespace

bool signFile(const std::string& path, const SecretKey& key, const std::string& trustedComment,
              SignatureFile* s, std::string* error)
{
    std::string digest;
    return blake2b512File(path, &digest, error) && signDigest(digest, key, trustedComment, s, error);
}

bool signBytes(const std::string& bytes, const SecretKey& key, const std::string& trustedComment,
               SignatureFile* s, std::string* error)
{
    return signDigest(blake2b(bytes, 64), key, trustedComment, s, error);
}

SignatureCheck verifyBytes(const std::string& bytes, const std::string& signatureText,
                           const std::vector<PublicKey>& keys, const std::string& name)
{
    return verifyMessage(
        [&bytes](bool prehashed, std::string* message, std::string*) {
            *message = prehashed ? blake2b(bytes, 64) : bytes;
            return true;
        },
        signatureText, keys, name);
}

SignatureCheck verifyFile(const std::string& path, const std::string& signaturePath,
                          const std::vector<PublicKey>& keys, const std::string& shownName)
{
    return verifyDigest({}, path, signaturePath, keys, shownName);
}

SignatureCheck verifyDigest(const std::string& blake2b512, const std::string& path, const std::string& signaturePath,
                            const std::vector<PublicKey>& keys, const std::string& shownName)
{
    const std::string& name = shownName.empty() ? path : shownName;
    std::error_code ec;
    if (!std::filesystem::exists(signaturePath, ec))
        return verdict(SignatureVerdict::NoSignature, name + ": no signature: " + signaturePath + " is missing");
    std::string text, error;
    if (!readSmallFile(signaturePath, kLargestSignature, &text, &error))
        return verdict(SignatureVerdict::Unreadable, name + ": bad signature: " + error);
    return verifyMessage(
        [&path, &blake2b512](bool prehashed, std::string* message, std::string* why) {
            if (prehashed && blake2b512.size() == 64) {
                *message = blake2b512;
                return true;
            }
            return messageOf(path, prehashed, message, why);
        },
        text, keys, name);
}

namespace {

SignatureCheck verifyMessage(const MessageOf& messageOf, const std::string& signatureText,
                             const std::vector<PublicKey>& keys, const std::string& name)
{
    std::string error;
    SignatureFile s;
    if (!parseSignatureFile(signatureText, &s, &error))
        return verdict(SignatureVerdict::Unreadable, name + ": bad signature: " + error);
    SignatureCheck check;
    check.keyId = keyIdText(s.keyId);
    check.trustedComment = s.trustedComment;
    const PublicKey* key = nullptr;
    for (const PublicKey& k : keys)
        if (k.keyId == s.keyId)
            key = &k;
    if (!key)
        return verdict(SignatureVerdict::UnknownKey,
                       name + ": unknown key: signed by key " + check.keyId + ", which is not among the trusted keys",
                       check);
    std::string message;
    if (!messageOf(s.prehashed, &message, &error))
        return verdict(SignatureVerdict::Unreadable, error, check);
    if (!ed25519Verify(key->key, message, s.signature))
        return verdict(SignatureVerdict::BadSignature,
                       name + ": bad signature: the file is not what key " + check.keyId + " signed", check);
    if (!ed25519Verify(key->key, s.signature + s.trustedComment, s.globalSignature))
        return verdict(SignatureVerdict::CommentTampered,
                       name + ": comment tampered: the trusted comment is not what key " + check.keyId + " signed",
                       check);
    return verdict(SignatureVerdict::Good, "", check);
}

}  // namespace

void checkReleaseComment(const std::string& name, const std::string& productId, const std::string& sha256,
                         SignatureCheck* check)
{
    if (check->verdict != SignatureVerdict::Good)
        return;
    const std::string product = commentField(check->trustedComment, "product");
    const std::string signedSha = commentField(check->trustedComment, "sha256");
    std::string why;
    if (product.empty())
        why = "the trusted comment of key " + check->keyId + " names no product";
    else if (product != productId)
        why = "signed by key " + check->keyId + " for product " + product + ", the file is for " + productId;
    else if (!signedSha.empty() && signedSha != sha256)
        why = "the trusted comment of key " + check->keyId + " names another SHA-256 (" + signedSha + ")";
    if (!why.empty()) {
        check->verdict = SignatureVerdict::ProductMismatch;
        check->why = name + ": product mismatch: " + why;
    }
}

const char* verdictWord(SignatureVerdict v)
{
    switch (v) {
    case SignatureVerdict::Good: return "good";
    case SignatureVerdict::NoSignature: return "no signature";
    case SignatureVerdict::Unreadable: return "bad signature";
    case SignatureVerdict::UnknownKey: return "unknown key";
    case SignatureVerdict::BadSignature: return "bad signature";
    case SignatureVerdict::CommentTampered: return "comment tampered";
    case SignatureVerdict::ProductMismatch: return "product mismatch";
    }
    return "?";
}

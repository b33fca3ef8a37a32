// A release file's signature: made by `tarvolo release sign`, checked by `tarvolo release
// verify` and by a station before it touches a port. The signature is minisign's (prehashed
// Ed25519, minisign_format.h) in FILE.minisig beside the file, so minisign verifies it too.
//
// Its trusted comment names what was signed, tab-separated "key:value" fields as minisign's own
// ("timestamp:...\tfile:..."): product (the release's product identifier, shown as the record
// shows it), sha256, release (a release name), and an optional note. A station checks the
// product against the file's own: a signature meant for another product does not approve it.
#ifndef TARVOLO_SIGNING_RELEASE_SIGNATURE_H
#define TARVOLO_SIGNING_RELEASE_SIGNATURE_H

#include <string>
#include <vector>

#include "signing/minisign_format.h"
#include "signing/secret_key.h"

struct ReleaseFacts {
    std::string fileName;     // the file's own name, without its folder
    std::string productId;    // shown as the record shows it
    std::string sha256;
    std::string releaseName;
    std::string note;
};

std::string releaseComment(const ReleaseFacts& facts, long long timestamp);
// The value of `field` in a trusted comment ("" when absent).
std::string commentField(const std::string& comment, const std::string& field);

std::string signaturePathOf(const std::string& releasePath);

// Signs `path` (BLAKE2b-512 of it, then the trusted comment) into `signature`. False with a message.
bool signFile(const std::string& path, const SecretKey& key, const std::string& trustedComment,
              SignatureFile* signature, std::string* error);

// The same for bytes in memory (a small signed list, read once so that what is checked is
// what is used).
bool signBytes(const std::string& bytes, const SecretKey& key, const std::string& trustedComment,
               SignatureFile* signature, std::string* error);

enum class SignatureVerdict { Good, NoSignature, Unreadable, UnknownKey, BadSignature, CommentTampered, ProductMismatch };

struct SignatureCheck {
    SignatureVerdict verdict = SignatureVerdict::NoSignature;
    std::string keyId;            // as shown, once the signature could be read
    std::string trustedComment;   // as signed (a Good verdict) or as found
    std::string why;              // one line, naming the file and the key
};

// Checks `path` against its signature at `signaturePath` and the keys given: the key id
// first (UnknownKey), then the file's signature, then the comment's (CommentTampered). The
// reasons name the file as `name` (default: `path`; a station checks a private copy).
SignatureCheck verifyFile(const std::string& path, const std::string& signaturePath,
                          const std::vector<PublicKey>& keys, const std::string& name = {});

// The same for a file whose BLAKE2b-512 was taken as it was read (`blake2b512`, 64 bytes): a
// prehashed signature is checked without reading the file again (the legacy form reads it).
SignatureCheck verifyDigest(const std::string& blake2b512, const std::string& path, const std::string& signaturePath,
                            const std::vector<PublicKey>& keys, const std::string& name);

// `signatureText` is the signature file's text (from a file or a database row).
SignatureCheck verifyBytes(const std::string& bytes, const std::string& signatureText,
                           const std::vector<PublicKey>& keys, const std::string& name);

// A Good check is turned into ProductMismatch when the comment's product is absent or not
// `productId`, or its sha256 (when given) is not `sha256`.
void checkReleaseComment(const std::string& name, const std::string& productId, const std::string& sha256,
                         SignatureCheck* check);

const char* verdictWord(SignatureVerdict verdict);

#endif

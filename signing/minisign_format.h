// minisign's text files, so that keys and signatures pass between tarvolo and minisign (or
// any tool of its format) both ways.
//
// A public key file: "untrusted comment: ..." and one base64 line of "Ed", the 8-byte key id
// and the 32-byte Ed25519 key. A signature file (FILE.minisig): an untrusted comment; a base64
// line of the algorithm ("ED": Ed25519 over the BLAKE2b-512 of the file; "Ed", the legacy form:
// over the file itself), the key id and the 64-byte signature; "trusted comment: ..."; a base64
// line of the global signature, over the file's signature followed by the trusted comment, so
// that the comment cannot be changed without the key. The key id is shown as minisign shows
// it: 16 upper-case hex digits of the id read as a little-endian number.
#ifndef TARVOLO_SIGNING_MINISIGN_FORMAT_H
#define TARVOLO_SIGNING_MINISIGN_FORMAT_H

#include <string>

constexpr size_t kKeyIdBytes = 8;

struct PublicKey {
    std::string keyId;  // 8 bytes
    std::string key;    // 32 bytes
};

struct SignatureFile {
    std::string untrustedComment;
    bool prehashed = true;       // "ED"; false: the legacy "Ed"
    std::string keyId;           // 8 bytes
    std::string signature;       // 64 bytes, of the file (or its BLAKE2b-512)
    std::string trustedComment;
    std::string globalSignature; // 64 bytes, of signature + trustedComment
};

std::string keyIdText(const std::string& keyId);

// A public key file's text, or the bare base64 line minisign prints (-P). False with a reason.
bool parsePublicKey(const std::string& text, PublicKey* key, std::string* error);
std::string formatPublicKey(const PublicKey& key);

bool parseSignatureFile(const std::string& text, SignatureFile* signature, std::string* error);
std::string formatSignatureFile(const SignatureFile& signature);

// Whether a comment may go on its line: no line break, no other control character, UTF-8.
bool commentFits(const std::string& comment);

// The whole of a small text file (a key or a signature: at most `limit` bytes). False with
// "cannot read PATH: reason".
bool readSmallFile(const std::string& path, size_t limit, std::string* text, std::string* error);

#endif

// The signed revocation list: the releases a quality key has withdrawn, which a station obeys
// with or without the network. A text file (revocations.list), one release a line:
//   SHA-256 <tab> product identifier <tab> revoked (UTC) <tab> release name
// signed like a release (revocations.list.minisig) with the trusted comment
//   revocations:SEQUENCE <tab> issued:UTC
// so the list's number is signed with its contents. Each `tarvolo release revoke` appends one
// line and signs the list again under the next number; a station keeps the highest number it
// has seen and refuses a list with a lower one, so an old list (one from before a revocation)
// cannot be put back to approve a withdrawn release again.
#ifndef TARVOLO_SIGNING_REVOCATION_LIST_H
#define TARVOLO_SIGNING_REVOCATION_LIST_H

#include <cstdint>
#include <string>
#include <vector>

#include "signing/minisign_format.h"
#include "signing/secret_key.h"

struct Revocation {
    std::string sha256;
    std::string productId;
    std::string revokedUtc;
    std::string releaseName;
};

struct RevocationList {
    int64_t sequence = 0;  // 0: no list yet
    std::string issuedUtc;
    std::vector<Revocation> entries;
    std::string keyId;     // who signed it, as shown
};

constexpr const char* kRevocationFileName = "revocations.list";

// The revocation of `sha256` for `productId`, or null.
const Revocation* revocationOf(const RevocationList& list, const std::string& sha256, const std::string& productId);

// Reads and checks a list and its signature (PATH.minisig) against `keys`. False with a reason
// naming the file (no signature, bad signature, unknown key, comment tampered, unreadable).
bool loadRevocations(const std::string& path, const std::vector<PublicKey>& keys, RevocationList* list,
                     std::string* error);

// The same for a list and its signature as texts (a central database's row), `name` in reasons.
bool parseSignedRevocations(const std::string& text, const std::string& signatureText,
                            const std::vector<PublicKey>& keys, const std::string& name, RevocationList* list,
                            std::string* error);

// Writes the list and its signature whole, under `list.sequence`.
bool saveRevocations(const std::string& path, const RevocationList& list, const SecretKey& key, std::string* error);

// The list's text and its signature's text, for the central database (the same bytes as the files).
bool revocationTexts(const std::string& path, std::string* list, std::string* signature, std::string* error);

#endif

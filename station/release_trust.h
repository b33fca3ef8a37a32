// Whether the station may flash its release: with trusted keys, the release must carry a
// minisign signature (FILE.minisig beside the file the operator named) by one of them whose
// trusted comment names the file's product; checked on the station's private copy, so the
// bytes checked are the bytes every unit receives. Enforced, anything else stops the station
// before a port is opened; in warn mode (a line introducing signing) it is said and the
// station goes on. Station's main thread, once, in its pre-flight.
#ifndef TARVOLO_STATION_RELEASE_TRUST_H
#define TARVOLO_STATION_RELEASE_TRUST_H

#include <chrono>
#include <cstdint>
#include <string>

#include "station/release_copy.h"

enum class SignaturePolicy { Off, Warn, Enforce };

struct ReleaseTrust {
    SignaturePolicy policy = SignaturePolicy::Off;
    std::string trustedKeys;  // a folder of *.pub keys, or one key file
};

struct ReleaseSigner {
    std::string keyId;        // empty: not signed by a trusted key (warn mode), or no policy
    std::string releaseName;  // from the trusted comment
};

// What the signed files say for a start without the central database: the release signed by
// `keyId`, and the newest signed revocation list (its number and when it was issued), which
// does not name it. They stand in for the unsigned copy of the approvals beside the record.
struct SignedApproval {
    std::string keyId;          // empty: the release is not signed by a trusted key
    int64_t listSequence = 0;   // 0: no revocation list
    std::string listIssuedUtc;
};

// Whether the signed files may approve the release while the server cannot say: a signature
// and a revocation list issued at most `maxAge` ago (a revocation made since then could not
// have reached this station). False with why, in words for the operator.
bool signedFilesFresh(const SignedApproval& approval, std::chrono::seconds maxAge, std::string* why);

// True to go on (a warning written to stderr in warn mode); false with the one-line reason
// naming the file, the key and why.
bool releaseTrusted(const ReleaseTrust& trust, const ReleaseCopy& release, ReleaseSigner* signer, std::string* error);

#endif

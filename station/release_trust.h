// Whether the station may flash its release: with trusted keys, the release must carry a
// minisign signature (FILE.minisig beside the file the operator named) by one of them whose
// trusted comment names the file's product; checked on the station's private copy, so the
// bytes checked are the bytes every unit receives. Enforced, anything else stops the station
// before a port is opened; in warn mode (a line introducing signing) it is said and the
// station goes on. Station's main thread, once, in its pre-flight.
#ifndef TARVOLO_STATION_RELEASE_TRUST_H
#define TARVOLO_STATION_RELEASE_TRUST_H

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

// True to go on (a warning written to stderr in warn mode); false with the one-line reason
// naming the file, the key and why.
bool releaseTrusted(const ReleaseTrust& trust, const ReleaseCopy& release, ReleaseSigner* signer, std::string* error);

#endif

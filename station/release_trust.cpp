// The release's signature at a station's start (release_trust.h).
#include "station/release_trust.h"

#include <cstdio>

#include "output/shown_text.h"
#include "signing/release_signature.h"
#include "signing/trusted_keys.h"

bool releaseTrusted(const ReleaseTrust& trust, const ReleaseCopy& release, ReleaseSigner* signer, std::string* error)
{
    if (trust.policy == SignaturePolicy::Off)
        return true;
    std::vector<PublicKey> keys;
    if (!loadTrustedKeys(trust.trustedKeys, &keys, error))
        return false;
    SignatureCheck check = verifyFile(release.copyPath, signaturePathOf(release.name), keys, release.name);
    checkReleaseComment(release.name, release.productId, release.sha256, &check);
    if (check.verdict == SignatureVerdict::Good) {
        signer->keyId = check.keyId;
        signer->releaseName = commentField(check.trustedComment, "release");
        return true;
    }
    if (trust.policy == SignaturePolicy::Enforce) {
        *error = "refused: " + check.why;
        return false;
    }
    std::fprintf(stderr, "tarvolo station: warning: %s (--signatures warn: flashing it all the same)\n",
                 terminalSafe(check.why).c_str());
    return true;
}

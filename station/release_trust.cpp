// The release's signature at a station's start (release_trust.h).
#include "station/release_trust.h"

#include <cstdio>

#include "output/shown_text.h"
#include "record/utc_time.h"
#include "signing/release_signature.h"
#include "signing/trusted_keys.h"

bool releaseTrusted(const ReleaseTrust& trust, const ReleaseCopy& release, ReleaseSigner* signer, std::string* error)
{
    if (trust.policy == SignaturePolicy::Off)
        return true;
    std::vector<PublicKey> keys;
    if (!loadTrustedKeys(trust.trustedKeys, &keys, error))
        return false;
    SignatureCheck check =
        verifyDigest(release.blake2b512, release.copyPath, signaturePathOf(release.name), keys, release.name);
    checkReleaseComment(release.name, release.productId, release.sha256, &check);
    if (check.verdict == SignatureVerdict::Good) {
        signer->keyId = check.keyId;
        signer->releaseName = commentField(check.trustedComment, "release");
        std::fprintf(stderr, "tarvolo station: %s: signed by key %s for product %s, release %s\n",
                     terminalSafe(release.name).c_str(), signer->keyId.c_str(), terminalSafe(release.productId).c_str(),
                     terminalSafe(signer->releaseName).c_str());
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

bool signedFilesFresh(const SignedApproval& a, std::chrono::seconds maxAge, std::string* why)
{
    if (a.listSequence == 0) {
        *why = "no signed revocation list vouches that the release was not revoked since it was signed "
               "(tarvolo release revoke --refresh issues one)";
        return false;
    }
    UtcTime issued;
    if (!parseUtc(a.listIssuedUtc, &issued)) {
        *why = "revocation list " + std::to_string(a.listSequence) + " does not say when it was issued";
        return false;
    }
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - issued);
    if (age <= maxAge)
        return true;
    char days[160];
    std::snprintf(days, sizeof days, "%.2f days ago, longer than the %g days of --approval-max-age",
                  static_cast<double>(age.count()) / 86400, static_cast<double>(maxAge.count()) / 86400);
    *why = "revocation list " + std::to_string(a.listSequence) + " was issued at " + a.listIssuedUtc + ", " + days +
           " (a revocation since could not have reached this station; tarvolo release revoke --refresh issues a "
           "new one)";
    return false;
}

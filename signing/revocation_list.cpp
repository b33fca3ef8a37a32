// The signed revocation list (revocation_list.h).
#include "signing/revocation_list.h"

#include <sstream>

#include "signing/release_signature.h"
#include "signing/whole_file.h"

namespace {

constexpr size_t kLargestList = 16u << 20;

bool parseEntries(const std::string& text, std::vector<Revocation>* entries)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty())
            continue;
        std::vector<std::string> fields;
        std::istringstream items(line);
        for (std::string item; std::getline(items, item, '\t');)
            fields.push_back(item);
        if (fields.size() < 3 || fields[0].size() != 64)
            return false;
        entries->push_back({fields[0], fields[1], fields[2], fields.size() > 3 ? fields[3] : ""});
    }
    return true;
}

std::string entriesText(const std::vector<Revocation>& entries)
{
    std::string text;
    for (const Revocation& r : entries)
        text += r.sha256 + "\t" + r.productId + "\t" + r.revokedUtc + "\t" + r.releaseName + "\n";
    return text;
}

bool sequenceOf(const std::string& text, int64_t* sequence)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *sequence = std::stoll(text);
    return *sequence > 0;
}

}  // namespace

const Revocation* revocationOf(const RevocationList& list, const std::string& sha256, const std::string& productId)
{
    for (const Revocation& r : list.entries)
        if (r.sha256 == sha256 && r.productId == productId)
            return &r;
    return nullptr;
}

bool loadRevocations(const std::string& path, const std::vector<PublicKey>& keys, RevocationList* list,
                     std::string* error)
{
    std::string text, signature;
    if (!revocationTexts(path, &text, &signature, error)) {
        *error = "revocation list: " + *error + " (a list needs its signature " + signaturePathOf(path) + ")";
        return false;
    }
    return parseSignedRevocations(text, signature, keys, path, list, error);
}

bool parseSignedRevocations(const std::string& text, const std::string& signatureText,
                            const std::vector<PublicKey>& keys, const std::string& name, RevocationList* list,
                            std::string* error)
{
    const SignatureCheck check = verifyBytes(text, signatureText, keys, name);
    if (check.verdict != SignatureVerdict::Good) {
        *error = "revocation list " + check.why;
        return false;
    }
    RevocationList read;
    read.keyId = check.keyId;
    read.issuedUtc = commentField(check.trustedComment, "issued");
    if (!sequenceOf(commentField(check.trustedComment, "revocations"), &read.sequence)) {
        *error = "revocation list " + name + ": its trusted comment carries no list number (revocations:N)";
        return false;
    }
    if (!parseEntries(text, &read.entries)) {
        *error = "revocation list " + name + ": a line is not SHA-256, product, time, release name";
        return false;
    }
    *list = read;
    return true;
}

bool saveRevocations(const std::string& path, const RevocationList& list, const SecretKey& key, std::string* error)
{
    const std::string text = entriesText(list.entries);
    const std::string comment = "revocations:" + std::to_string(list.sequence) + "\tissued:" + list.issuedUtc;
    SignatureFile signature;
    // Each file is written whole; the signature first, so that a reader between the two
    // renames sees a bad signature (and refuses), never an unsigned list.
    return signBytes(text, key, comment, &signature, error) &&
           writeWholeFile(signaturePathOf(path), formatSignatureFile(signature), FileUse::Public, error) &&
           writeWholeFile(path, text, FileUse::Public, error);
}

bool revocationTexts(const std::string& path, std::string* list, std::string* signature, std::string* error)
{
    return readSmallFile(path, kLargestList, list, error) &&
           readSmallFile(signaturePathOf(path), 16384, signature, error);
}

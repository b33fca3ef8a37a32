// tarvolo release: the keys and signatures that let a station flash only what a quality key
// signed. keygen makes a key pair in minisign's formats, sign writes FILE.minisig beside a
// release file, verify checks one as a station would. minisign reads and writes the same files.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "central/approvals.h"
#include "central/central_connection.h"
#include "central/revocation_store.h"
#include "cli/commands.h"
#include "cli/option_checks.h"
#include "output/shown_text.h"
#include "session/release_check.h"
#include "record/sha256.h"
#include "record/utc_time.h"
#include "signing/release_signature.h"
#include "signing/revocation_list.h"
#include "signing/secret_key.h"
#include "signing/signing_crypto.h"
#include "signing/trusted_keys.h"
#include "signing/whole_file.h"

namespace {

struct ReleaseArguments {
    std::string file;
    std::string secretKey = "tarvolo-release.key";
    std::string publicKey = "tarvolo-release.pub";
    std::string passwordFile;
    std::string signature;
    std::string releaseName;
    std::string note;
    bool force = false;
    std::string list;
    std::string central;
    std::string centralPasswordFile;
    bool refresh = false;
};

int failed(const char* command, const std::string& text, int code = kExitCannotOpen)
{
    std::fprintf(stderr, "tarvolo release %s: %s\n", command, terminalSafe(text).c_str());
    return code;
}

// The first line of a password file, without its line break.
bool readPassword(const std::string& path, std::string* password, std::string* error)
{
    if (path.empty())
        return true;
    std::string text;
    if (!readSmallFile(path, 4096, &text, error))
        return false;
    *password = text.substr(0, text.find_first_of("\r\n"));
    if (password->empty())
        *error = path + " holds no password on its first line";
    return !password->empty();
}

int keygen(const ReleaseArguments& a)
{
    std::error_code ec;
    for (const std::string& path : {a.secretKey, a.publicKey})
        if (!a.force && std::filesystem::exists(path, ec))
            return failed("keygen", path + " exists already (--force replaces it)");
    std::string password, error, secretText;
    SecretKey key;
    if (!readPassword(a.passwordFile, &password, &error) || !newSecretKey(&key, &error) ||
        !formatSecretKey(key, password, &secretText, &error) ||
        !writeWholeFile(a.secretKey, secretText, FileUse::Secret, &error))
        return failed("keygen", error);
    if (!writeWholeFile(a.publicKey, formatPublicKey(publicKeyOf(key)), FileUse::Public, &error)) {
        std::filesystem::remove(a.secretKey, ec);  // a secret key whose public half is lost is no use
        return failed("keygen", error);
    }
    std::printf("key %s: secret key %s (%s), public key %s\n", keyIdText(key.keyId).c_str(),
                terminalSafe(a.secretKey).c_str(), password.empty() ? "not encrypted: keep it safe" : "encrypted",
                terminalSafe(a.publicKey).c_str());
    return 0;
}

bool loadSecretKey(const ReleaseArguments& a, SecretKey* key, std::string* error)
{
    std::string text, password;
    if (!readSmallFile(a.secretKey, 4096, &text, error) || !readPassword(a.passwordFile, &password, error))
        return false;
    if (secretKeyEncrypted(text) && password.empty()) {
        *error = a.secretKey + " is encrypted: give its password with --password-file";
        return false;
    }
    if (!parseSecretKey(text, password, key, error)) {
        *error = a.secretKey + ": " + *error;
        return false;
    }
    return true;
}

int sign(const ReleaseArguments& a)
{
    uint8_t id[4];
    std::string error;
    ReleaseFacts facts;
    if (!checkReleaseFile(a.file, a.file, id, &error) ||
        !releaseIdentity(a.file, &facts.sha256, &facts.productId, &error))
        return failed("sign", error);
    const std::filesystem::path path(a.file);
    facts.fileName = path.filename().string();
    facts.releaseName = a.releaseName.empty() ? path.stem().string() : a.releaseName;
    facts.note = a.note;
    if (!commentFits(facts.fileName) || !commentFits(facts.releaseName) || !commentFits(facts.note) ||
        facts.releaseName.find('\t') != std::string::npos)
        return failed("sign", "the file's name, --release-name and --note must be text without control characters",
                      kExitUsage);
    SecretKey key;
    SignatureFile signature;
    const std::string out = a.signature.empty() ? signaturePathOf(a.file) : a.signature;
    if (!loadSecretKey(a, &key, &error) ||
        !signFile(a.file, key, releaseComment(facts, static_cast<long long>(std::time(nullptr))), &signature,
                  &error) ||
        !writeWholeFile(out, formatSignatureFile(signature), FileUse::Public, &error))
        return failed("sign", error);
    std::printf("%s signed by key %s into %s\n", terminalSafe(a.file).c_str(), keyIdText(key.keyId).c_str(),
                terminalSafe(out).c_str());
    return 0;
}

// A trusted comment for the terminal: its fields (tab-separated) two spaces apart.
std::string shownComment(std::string comment)
{
    for (size_t at; (at = comment.find('\t')) != std::string::npos;)
        comment.replace(at, 1, "  ");
    return terminalSafe(comment);
}

int verify(const ReleaseArguments& a)
{
    std::vector<PublicKey> keys;
    std::string error, sha256, productId;
    if (!loadTrustedKeys(a.publicKey, &keys, &error))
        return failed("verify", error);
    // One pass over the file for both digests: a large release is read once.
    Sha256 sha;
    Blake2b512 blake;
    if (!digestFile(a.file, {&sha, &blake}, &error) || !releaseProductId(a.file, &productId, &error))
        return failed("verify", error);
    sha256 = sha.hex();
    SignatureCheck check = verifyDigest(blake.bytes(), a.file, a.signature.empty() ? signaturePathOf(a.file) : a.signature,
                                        keys, a.file);
    const bool names = !commentField(check.trustedComment, "product").empty();
    if (check.verdict == SignatureVerdict::Good && names)
        checkReleaseComment(a.file, productId, sha256, &check);
    if (check.verdict != SignatureVerdict::Good)
        return failed("verify", check.why);
    std::printf("%s: signature and trusted comment good, key %s\ntrusted comment: %s\n",
                terminalSafe(a.file).c_str(), check.keyId.c_str(), shownComment(check.trustedComment).c_str());
    if (!names)
        std::printf("(the trusted comment names no product: a station refuses it)\n");
    return 0;
}

// The list as written, into the central database's table (the same two texts as the files).
bool uploadRevocations(const ReleaseArguments& a, int64_t sequence, std::string* error)
{
    CentralTarget target;
    StoredRevocations stored;
    stored.sequence = sequence;
    if (!resolveCentral(a.central, a.centralPasswordFile, &target, error) ||
        !revocationTexts(a.list, &stored.list, &stored.signature, error))
        return false;
    OdbcError e;
    auto db = connectCentral(target, 15, &e);
    if (!db || !storeRevocations(*db, stored, nowUtc(), &e)) {
        *error = "the list is signed, but the central database did not take it: " + e.text();
        return false;
    }
    return true;
}

// The release to add to the list: its SHA-256, product and name. False with a message.
bool revocationOfFile(const ReleaseArguments& a, Revocation* entry, std::string* error)
{
    uint8_t id[4];
    if (!checkReleaseFile(a.file, a.file, id, error) || !releaseIdentity(a.file, &entry->sha256, &entry->productId, error))
        return false;
    entry->releaseName = a.releaseName.empty() ? std::filesystem::path(a.file).stem().string() : a.releaseName;
    if (!commentFits(entry->releaseName))
        *error = "--release-name must be text without control characters";
    return commentFits(entry->releaseName);
}

int revoke(const ReleaseArguments& a)
{
    std::string error;
    Revocation entry;
    SecretKey key;
    if ((!a.refresh && !revocationOfFile(a, &entry, &error)) || !loadSecretKey(a, &key, &error))
        return failed("revoke", error);
    RevocationList list;
    std::error_code ec;
    // The list is extended only as the key signed it: a list changed since is not signed again.
    if (std::filesystem::exists(a.list, ec) && !loadRevocations(a.list, {publicKeyOf(key)}, &list, &error))
        return failed("revoke", error);
    entry.revokedUtc = nowUtc();
    if (!a.refresh && !revocationOf(list, entry.sha256, entry.productId))
        list.entries.push_back(entry);
    list.sequence += 1;
    list.issuedUtc = entry.revokedUtc;
    if (!saveRevocations(a.list, list, key, &error))
        return failed("revoke", error);
    if (a.refresh)
        std::printf("%s issued again", terminalSafe(a.list).c_str());
    else
        std::printf("%s (sha256 %s, product %s) revoked", terminalSafe(a.file).c_str(), entry.sha256.c_str(),
                    terminalSafe(entry.productId).c_str());
    std::printf(": %s is list %lld of %s, signed by key %s\n", terminalSafe(a.list).c_str(),
                static_cast<long long>(list.sequence), list.issuedUtc.c_str(), keyIdText(key.keyId).c_str());
    if ((!a.central.empty() || !a.centralPasswordFile.empty()) && !uploadRevocations(a, list.sequence, &error))
        return failed("revoke", error, kExitCentralFailed);
    return 0;
}

}  // namespace

void setupReleaseCommand(CLI::App& app, std::function<int()>& run)
{
    auto a = std::make_shared<ReleaseArguments>();
    auto* cmd = app.add_subcommand("release", "Sign release files and check their signatures (minisign's format)");
    cmd->require_subcommand(1);
    auto* k = cmd->add_subcommand("keygen", "Make a signing key pair");
    k->add_option("--key", a->secretKey, "The secret key to write")->capture_default_str()->check(notEmpty());
    k->add_option("--pubkey", a->publicKey, "The public key to write")->capture_default_str()->check(notEmpty());
    k->add_option("--password-file", a->passwordFile,
                  "Encrypt the secret key (scrypt, as minisign does) with the first line of this file; without "
                  "it the key is written unencrypted, as minisign -W does")->check(notEmpty());
    k->add_flag("--force", a->force, "Replace key files that exist");
    k->callback([&run, a] { run = [a] { return keygen(*a); }; });

    auto* s = cmd->add_subcommand("sign", "Sign a release file into FILE.minisig");
    s->add_option("file", a->file, "Release file (.rel)")->required();
    s->add_option("--key", a->secretKey, "The secret key (minisign's format)")->required()->check(notEmpty());
    s->add_option("--password-file", a->passwordFile, "The password of an encrypted key")->check(notEmpty());
    s->add_option("--release-name", a->releaseName, "The release's name in the trusted comment (default: the "
                                                   "file's name without its extension)");
    s->add_option("--comment,--note", a->note, "A note added to the trusted comment");
    s->add_option("--signature", a->signature, "Where to write the signature (default FILE.minisig)");
    s->callback([&run, a] { run = [a] { return sign(*a); }; });

    auto* v = cmd->add_subcommand("verify", "Check a release file's signature as a station does");
    v->add_option("file", a->file, "Release file (.rel)")->required();
    v->add_option("--pubkey", a->publicKey, "A public key file, or a folder of *.pub keys")->required()
        ->check(notEmpty());
    v->add_option("--signature", a->signature, "The signature (default FILE.minisig)");
    v->callback([&run, a] { run = [a] { return verify(*a); }; });

    auto* r = cmd->add_subcommand("revoke", "Add a release to the signed revocation list and sign the list again");
    auto* file = r->add_option("file", a->file, "Release file (.rel) to revoke");
    r->add_flag("--refresh", a->refresh,
                "Add nothing: sign the list again under a new number and time, so that stations offline "
                "longer than --approval-max-age since the last list keep arming a signed release")
        ->excludes(file);
    r->add_option("--key", a->secretKey, "The secret key that signs the list")->required()->check(notEmpty());
    r->add_option("--password-file", a->passwordFile, "The password of an encrypted key")->check(notEmpty());
    r->add_option("--list", a->list, std::string("The list (a station reads ") + kRevocationFileName +
                                         " beside its trusted keys); made when missing")
        ->required()->check(notEmpty());
    r->add_option("--release-name", a->releaseName, "The release's name in the list");
    r->add_option("--central", a->central, "Also store the list in this central database (an administrator's "
                                           "connection)")->type_name("CONNECTION");
    r->add_option("--central-password-file", a->centralPasswordFile, "A file holding the central password")
        ->type_name("FILE");
    r->callback([&run, a, file, r] {
        if (!a->refresh && file->count() == 0)
            throw CLI::RequiredError(r->get_name() + ": a release file or --refresh");
        run = [a] { return revoke(*a); };
    });
}

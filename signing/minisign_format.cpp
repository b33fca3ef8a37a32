// minisign's key and signature files (minisign_format.h).
#include "signing/minisign_format.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "output/shown_text.h"
#include "signing/base64.h"
#include "signing/signing_crypto.h"

namespace {

constexpr const char kUntrusted[] = "untrusted comment: ";
constexpr const char kTrusted[] = "trusted comment: ";
constexpr size_t kSignatureLineBytes = 2 + kKeyIdBytes + kEd25519SignatureBytes;

// The file's lines, each without its "\n" or "\r\n".
std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool startsWith(const std::string& text, const char* prefix, std::string* rest)
{
    const std::string p(prefix);
    if (text.compare(0, p.size(), p) != 0)
        return false;
    *rest = text.substr(p.size());
    return true;
}

}  // namespace

std::string keyIdText(const std::string& keyId)
{
    std::string text;
    char digits[3];
    for (size_t i = keyId.size(); i-- > 0;) {
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned char>(keyId[i]));
        text += digits;
    }
    return text;
}

bool parsePublicKey(const std::string& text, PublicKey* key, std::string* error)
{
    const std::vector<std::string> lines = linesOf(text);
    std::string comment;
    const bool commented = !lines.empty() && startsWith(lines[0], kUntrusted, &comment);
    const size_t at = commented ? 1 : 0;
    std::string bytes;
    if (lines.size() <= at || !base64Decode(lines[at], &bytes) || bytes.size() != 2 + kKeyIdBytes + 32) {
        *error = "not a minisign public key";
        return false;
    }
    if (bytes.compare(0, 2, "Ed") != 0) {
        *error = "a public key of an unknown algorithm (" + shownBytes(bytes.substr(0, 2)) + ")";
        return false;
    }
    key->keyId = bytes.substr(2, kKeyIdBytes);
    key->key = bytes.substr(2 + kKeyIdBytes);
    return true;
}

std::string formatPublicKey(const PublicKey& key)
{
    return std::string(kUntrusted) + "minisign public key " + keyIdText(key.keyId) + "\n" +
           base64Encode("Ed" + key.keyId + key.key) + "\n";
}

bool parseSignatureFile(const std::string& text, SignatureFile* s, std::string* error)
{
    const std::vector<std::string> lines = linesOf(text);
    std::string first, global;
    if (lines.size() < 4 || !startsWith(lines[0], kUntrusted, &s->untrustedComment) ||
        !startsWith(lines[2], kTrusted, &s->trustedComment)) {
        *error = "not a minisign signature (four lines: comment, signature, trusted comment, signature)";
        return false;
    }
    if (!base64Decode(lines[1], &first) || first.size() != kSignatureLineBytes ||
        !base64Decode(lines[3], &global) || global.size() != kEd25519SignatureBytes) {
        *error = "a signature line is not the base64 of a signature";
        return false;
    }
    if (first.compare(0, 2, "ED") != 0 && first.compare(0, 2, "Ed") != 0) {
        *error = "a signature of an unknown algorithm (" + shownBytes(first.substr(0, 2)) + ")";
        return false;
    }
    s->prehashed = first[1] == 'D';
    s->keyId = first.substr(2, kKeyIdBytes);
    s->signature = first.substr(2 + kKeyIdBytes);
    s->globalSignature = global;
    return true;
}

std::string formatSignatureFile(const SignatureFile& s)
{
    return std::string(kUntrusted) + s.untrustedComment + "\n" +
           base64Encode((s.prehashed ? "ED" : "Ed") + s.keyId + s.signature) + "\n" + kTrusted +
           s.trustedComment + "\n" + base64Encode(s.globalSignature) + "\n";
}

bool commentFits(const std::string& comment)
{
    if (!validUtf8(comment))
        return false;
    for (unsigned char c : comment)
        if (c < 0x20 || c == 0x7F)
            return false;
    return true;
}

bool readSmallFile(const std::string& path, size_t limit, std::string* text, std::string* error)
{
    // A FIFO would hang the open, a device be read without end: only a regular file is read.
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec)) {
        *error = "cannot read " + path + ": not a file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::string bytes(limit + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (bytes.size() > limit) {
        *error = path + " is too long to be a key or a signature";
        return false;
    }
    *text = bytes;
    return true;
}

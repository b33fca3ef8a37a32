// SHA-256 with libgcrypt (sha256.h). The library is initialised once, on first use, without
// secure memory: nothing hashed or drawn here is secret.
#include "record/sha256.h"

#include <gcrypt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

void initialiseGcrypt()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Initialises the library whatever the answer; a library older than the header is
        // impossible in the static Windows builds and caught by the package manager elsewhere.
        gcry_check_version(GCRYPT_VERSION);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
}

namespace {

std::string hexOf(const unsigned char* digest, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::string sha256Hex(const void* data, size_t size)
{
    initialiseGcrypt();
    unsigned char digest[32];
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest, data, size);
    return hexOf(digest, sizeof digest);
}

bool sha256File(const std::string& path, std::string* hex, std::string* error)
{
    initialiseGcrypt();
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    Sha256 hash;
    if (!hash.ready()) {
        *error = "cannot hash " + path + ": SHA-256 is not available";
        return false;
    }
    std::vector<char> buffer(1 << 16);
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
        hash.add(buffer.data(), n);
    if (std::ferror(file.get())) {
        *error = "cannot read " + path + ": " + std::strerror(errno ? errno : EIO);
        return false;
    }
    *hex = hash.hex();
    return true;
}

Sha256::Sha256()
{
    initialiseGcrypt();
    gcry_md_hd_t raw = nullptr;
    if (gcry_md_open(&raw, GCRY_MD_SHA256, 0) == 0)
        handle_ = raw;
}

Sha256::~Sha256()
{
    if (handle_)
        gcry_md_close(handle_);
}

void Sha256::add(const void* data, size_t size)
{
    if (handle_)
        gcry_md_write(handle_, data, size);
}

std::string Sha256::hex() { return handle_ ? hexOf(gcry_md_read(handle_, GCRY_MD_SHA256), 32) : std::string(); }

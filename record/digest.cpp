// Digests with libgcrypt (digest.h). The library is initialised once, on first use, without
// secure memory: nothing hashed or drawn here is secret.
#include "record/digest.h"

#include <gcrypt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "record/unit_record.h"

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

Digest::Digest(DigestKind kind) : algorithm_(kind == DigestKind::Sha256 ? GCRY_MD_SHA256 : GCRY_MD_BLAKE2B_512)
{
    initialiseGcrypt();
    gcry_md_hd_t raw = nullptr;
    if (gcry_md_open(&raw, algorithm_, 0) == 0)
        handle_ = raw;
}

Digest::~Digest()
{
    if (handle_)
        gcry_md_close(handle_);
}

void Digest::add(const void* data, size_t size)
{
    if (handle_)
        gcry_md_write(handle_, data, size);
}

std::string Digest::bytes()
{
    if (!handle_)
        return {};
    return std::string(reinterpret_cast<const char*>(gcry_md_read(handle_, algorithm_)),
                       gcry_md_get_algo_dlen(algorithm_));
}

std::string Digest::hex()
{
    const std::string digest = bytes();
    return hexBytes(reinterpret_cast<const uint8_t*>(digest.data()), digest.size());
}

bool digestFile(const std::string& path, std::initializer_list<Digest*> digests, std::string* error)
{
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    errno = 0;
    std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    for (const Digest* digest : digests) {
        if (!digest->ready()) {
            *error = "cannot hash " + path + ": the cryptographic library lacks a digest";
            return false;
        }
    }
    std::vector<char> buffer(1 << 18);
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
        for (Digest* digest : digests)
            digest->add(buffer.data(), n);
    if (std::ferror(file.get())) {
        *error = "cannot read " + path + ": " + std::strerror(errno ? errno : EIO);
        return false;
    }
    return true;
}

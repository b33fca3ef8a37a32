// Trusted public keys (trusted_keys.h).
#include "signing/trusted_keys.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

bool loadKey(const fs::path& path, std::vector<PublicKey>* keys, std::string* error)
{
    std::string text;
    PublicKey key;
    if (!readSmallFile(path.string(), 4096, &text, error) || !parsePublicKey(text, &key, error)) {
        *error = path.string() + ": " + *error;
        return false;
    }
    keys->push_back(key);
    return true;
}

}  // namespace

bool loadTrustedKeys(const std::string& fileOrFolder, std::vector<PublicKey>* keys, std::string* error)
{
    keys->clear();
    std::error_code ec;
    if (!fs::is_directory(fileOrFolder, ec)) {
        if (!fs::is_regular_file(fileOrFolder, ec)) {
            *error = "no trusted keys at " + fileOrFolder + " (neither a folder nor a key file)";
            return false;
        }
        return loadKey(fileOrFolder, keys, error);
    }
    std::vector<fs::path> files;
    for (fs::directory_iterator it(fileOrFolder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".pub" && it->is_regular_file(ec))
            files.push_back(it->path());
    if (ec) {
        *error = "cannot read the folder of trusted keys " + fileOrFolder + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files)
        if (!loadKey(file, keys, error))
            return false;
    if (keys->empty()) {
        *error = "the folder of trusted keys " + fileOrFolder + " holds no *.pub key";
        return false;
    }
    return true;
}

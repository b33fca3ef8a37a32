// The release file's checks before a port is opened (see release_check.h).
#include "session/release_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "output/file_name.h"

bool checkRegularFile(const std::string& path, const std::string& name, std::string* error)
{
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(pathOf(path), ec);
    if (std::filesystem::is_regular_file(status))
        return true;
    const std::string why = status.type() == std::filesystem::file_type::not_found
                                ? std::strerror(ENOENT)
                            : ec ? ec.message()
                                 : "not a file";
    *error = "cannot open the release file " + name + ": " + why;
    return false;
}

bool checkReleaseLength(const std::string& name, uint64_t bytes, std::string* error)
{
    if (bytes < 4) {
        *error = name + " holds " + std::to_string(bytes) +
                 " bytes: a release file begins with a 4-byte product identifier";
        return false;
    }
    if (bytes == 4) {
        *error = name + " holds a product identifier but no image";
        return false;
    }
    return true;
}

bool checkReleaseFile(const std::string& path, const std::string& name, uint8_t productId[4],
                      std::string* error)
{
    if (!checkRegularFile(path, name, error))
        return false;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *error = "cannot open the release file " + name + ": " + std::strerror(errno);
        return false;
    }
    const size_t idBytes = std::fread(productId, 1, 4, file);
    const bool imageByte = std::fgetc(file) != EOF;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        *error = "cannot read " + name;
        return false;
    }
    return checkReleaseLength(name, idBytes + (imageByte ? 1 : 0), error);
}

// Files written whole (whole_file.h).
#include "signing/whole_file.h"
#include "signing/owner_only_file.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

bool writeWholeFile(const std::string& path, const std::string& text, FileUse use, std::string* error)
{
    const std::string aside = path + ".new";
    std::error_code ec;
    bool written = false;
    fs::remove(aside, ec);
    if (use == FileUse::Secret && !createOwnerOnlyFile(aside)) {
        *error = "cannot write " + path + ": cannot make " + aside + " for its owner alone";
        return false;
    }
    {
        std::ofstream out(aside, std::ios::binary | std::ios::trunc);
        if (out) {
            out << text;
            written = static_cast<bool>(out.flush());
        }
    }
    if (written)
        fs::rename(aside, path, ec);
    if (!written || ec) {
        *error = "cannot write " + path + (ec ? ": " + ec.message() : std::string());
        fs::remove(aside, ec);
        return false;
    }
    return true;
}

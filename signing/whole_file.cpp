// Files written whole (whole_file.h).
#include "signing/whole_file.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

bool writeWholeFile(const std::string& path, const std::string& text, FileUse use, std::string* error)
{
    const std::string aside = path + ".new";
    std::error_code ec;
    bool written = false;
    {
        std::ofstream out(aside, std::ios::binary | std::ios::trunc);
        if (out && use == FileUse::Secret)
            fs::permissions(aside, fs::perms::owner_read | fs::perms::owner_write, ec);
        if (out && !ec) {
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

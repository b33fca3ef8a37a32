// The station's private copy of its release file (see release_copy.h).
#include "station/release_copy.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "output/file_name.h"
#include "output/shown_text.h"
#include "record/sha256.h"
#include "record/unit_record.h"
#include "session/release_check.h"

namespace fs = std::filesystem;

namespace {

// A folder no other station run uses.
bool makePrivateFolder(fs::path* folder, std::string* error)
{
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::error_code ec;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            fs::temp_directory_path(ec) / ("tarvolo-station-" + std::to_string(stamp + attempt));
        if (!ec && fs::create_directory(candidate, ec)) {
            *folder = candidate;
            return true;
        }
    }
    *error = "cannot make a private folder for the release file: " + ec.message();
    return false;
}

// What the copy holds must be a release file a download can send.
bool checkCopy(const ReleaseCopy& copy, std::string* productId, std::string* error)
{
    uint8_t id[4];
    if (!checkReleaseFile(copy.copyPath, copy.name, id, error))
        return false;
    *productId = shownBytes(id, 4);
    return true;
}

}  // namespace

bool prepareReleaseCopy(const std::string& path, ReleaseCopy* copy, std::string* error)
{
    std::error_code ec;
    if (!checkRegularFile(path, path, error))
        return false;
    fs::path folder;
    if (!makePrivateFolder(&folder, error))
        return false;
    copy->name = path;
    copy->folder = nameOf(folder);
    copy->copyPath = nameOf(folder / "release.rel");
    bool ok = fs::copy_file(pathOf(path), pathOf(copy->copyPath), ec);
    if (!ok)
        *error = "cannot copy the release file " + path + ": " + ec.message();
    if (ok) {
        fs::permissions(pathOf(copy->copyPath), fs::perms::owner_read | fs::perms::group_read |
                                            fs::perms::others_read, ec);
        ok = checkCopy(*copy, &copy->productId, error) &&
             sha256File(copy->copyPath, &copy->sha256, error);
    }
    if (!ok)
        removeReleaseCopy(*copy);
    return ok;
}

void removeReleaseCopy(const ReleaseCopy& copy)
{
    std::error_code ec;
    if (copy.folder.empty())
        return;
    // The copy is read-only; on Windows that keeps it from being removed.
    fs::permissions(copy.copyPath, fs::perms::owner_all, ec);
    fs::remove_all(pathOf(copy.folder), ec);
}

// The station's private copy of its release file (see release_copy.h).
#include "station/release_copy.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "output/file_name.h"
#include "output/shown_text.h"
#include "record/sha256.h"
#include "signing/signing_crypto.h"
#include "record/unit_record.h"
#include "record/uuid7.h"
#include "session/release_check.h"
#include "station/station_platform.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kFolderPrefix = "tarvolo-station-";
constexpr size_t kPiece = 1 << 20;  // copied and hashed between two looks at Ctrl-C

// "tarvolo-station-PID-XXXX" (hexadecimal digits after the process) -> PID; 0 for any other name.
long folderOwner(const std::string& name)
{
    const std::string prefix = kFolderPrefix;
    if (name.compare(0, prefix.size(), prefix) != 0)
        return 0;
    size_t end = 0;
    long pid = 0;
    try {
        pid = std::stol(name.substr(prefix.size()), &end);
    } catch (const std::exception&) {
        return 0;
    }
    const std::string rest = name.substr(prefix.size() + end);
    return rest.size() > 1 && rest[0] == '-' && rest.find_first_not_of("0123456789abcdef", 1) == std::string::npos
               ? pid
               : 0;
}

// Makes the station's read-only copy removable (Windows will not remove a read-only file); never
// through a link, which could name any file of the machine.
void makeRemovable(const fs::path& copy)
{
    std::error_code ignored;
    fs::permissions(copy, fs::perms::owner_all, fs::perm_options::replace | fs::perm_options::nofollow, ignored);
}

// Folders of stations killed before they could remove their own. The temporary folder is
// everyone's: only plain folders of this user are touched, and nothing in them is followed.
void removeLeftCopies(const fs::path& temp)
{
    std::error_code ec;
    for (fs::directory_iterator it(temp, ec), end; !ec && it != end; it.increment(ec)) {
        const long owner = folderOwner(it->path().filename().string());
        if (owner > 0 && !processRunning(owner) && ownPlainFolder(nameOf(it->path()))) {
            std::error_code ignored;
            makeRemovable(it->path() / "release.rel");
            fs::remove_all(it->path(), ignored);
        }
    }
}

// A folder no other station run uses, that only this user can enter, under a name no one can
// guess and make first.
bool makePrivateFolder(const fs::path& temp, fs::path* folder, std::string* error)
{
    std::error_code ec;
    const std::string base = kFolderPrefix + std::to_string(currentProcessId()) + "-";
    for (int attempt = 1; attempt < 100; ++attempt) {
        const std::string id = newUuid7(std::chrono::system_clock::now());
        const fs::path candidate = temp / (base + id.substr(id.rfind('-') + 1));
        if (fs::create_directory(candidate, ec)) {
            fs::permissions(candidate, fs::perms::owner_all, ec);
            if (ec) {
                fs::remove(candidate, ec);
                break;
            }
            *folder = candidate;
            return true;
        }
        if (ec)
            break;
    }
    *error = "cannot make a private folder for the release file in " + temp.string() + ": " + ec.message();
    return false;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string writeError(int code, const ReleaseCopy& copy)
{
    if (code == ENOSPC || diskQuotaExceeded(code))
        return "cannot copy the release file: the disk holding " + copy.folder + " is full";
    return "cannot copy the release file to " + copy.folder + ": " + std::strerror(code ? code : EIO);
}

// Copies and hashes in pieces, looking at `interrupted` between them.
CopyResult copyAndHash(const std::function<bool()>& interrupted, ReleaseCopy* copy, std::string* error)
{
    errno = 0;
    File in(std::fopen(copy->name.c_str(), "rb"));
    if (!in) {
        *error = "cannot open the release file " + copy->name + ": " + std::strerror(errno);
        return CopyResult::Failed;
    }
    File out(std::fopen(copy->copyPath.c_str(), "wb"));
    if (!out) {
        *error = writeError(errno, *copy);
        return CopyResult::Failed;
    }
    Sha256 hash;
    Blake2b512 blake;  // read once for both: a signature's check costs no second pass
    std::vector<unsigned char> piece(kPiece);
    uint64_t total = 0;
    for (;;) {
        if (interrupted && interrupted())
            return CopyResult::Interrupted;
        const size_t n = std::fread(piece.data(), 1, piece.size(), in.get());
        if (n == 0)
            break;
        if (total == 0 && n >= 4)
            copy->productId = shownBytes(piece.data(), 4);
        total += n;
        hash.add(piece.data(), n);
        blake.add(piece.data(), n);
        errno = 0;
        if (std::fwrite(piece.data(), 1, n, out.get()) != n) {
            *error = writeError(errno, *copy);
            return CopyResult::Failed;
        }
    }
    if (std::ferror(in.get())) {
        *error = "cannot read the release file " + copy->name + ": " + std::strerror(errno ? errno : EIO);
        return CopyResult::Failed;
    }
    errno = 0;
    if (std::fflush(out.get()) != 0) {
        *error = writeError(errno, *copy);
        return CopyResult::Failed;
    }
    if (!checkReleaseLength(copy->name, total, error))
        return CopyResult::Failed;
    if (!hash.ready()) {
        *error = "cannot hash " + copy->name + ": SHA-256 is not available";
        return CopyResult::Failed;
    }
    copy->sha256 = hash.hex();
    copy->blake2b512 = blake.bytes();
    return CopyResult::Ready;
}

}  // namespace

CopyResult prepareReleaseCopy(const std::string& path, const std::function<bool()>& interrupted,
                              ReleaseCopy* copy, std::string* error)
{
    std::error_code ec;
    if (!checkRegularFile(path, path, error))
        return CopyResult::Failed;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec) {
        *error = "no temporary folder for the release file's copy: " + ec.message();
        return CopyResult::Failed;
    }
    removeLeftCopies(temp);
    fs::path folder;
    if (!makePrivateFolder(temp, &folder, error))
        return CopyResult::Failed;
    copy->name = path;
    copy->folder = nameOf(folder);
    copy->copyPath = nameOf(folder / "release.rel");
    const CopyResult result = copyAndHash(interrupted, copy, error);
    if (result == CopyResult::Ready)
        fs::permissions(pathOf(copy->copyPath), fs::perms::owner_read, ec);
    else
        removeReleaseCopy(*copy);
    return result;
}

void removeReleaseCopy(const ReleaseCopy& copy)
{
    std::error_code ec;
    if (copy.folder.empty())
        return;
    makeRemovable(pathOf(copy.copyPath));
    fs::remove_all(pathOf(copy.folder), ec);
}

// AppendFile on POSIX: O_APPEND writes, fsync after each, and the directory synced once when
// the file is opened so that a file just created survives a power cut too. The writers' lock
// is flock(2): advisory, so readers never wait for it.
#include "record/append_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

void syncDirectoryOf(const std::string& path)
{
    std::filesystem::path dir = std::filesystem::path(path).parent_path();
    if (dir.empty())
        dir = ".";
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

bool AppendFile::open(const std::string& path, std::string* error)
{
    close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    handle_ = fd;
    path_ = path;
    syncDirectoryOf(path);
    return true;
}

bool AppendFile::append(const std::string& bytes, std::string* error)
{
    const int fd = static_cast<int>(handle_);
    ssize_t written;
    do {
        written = ::write(fd, bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        *error = "cannot write to " + path_ + ": " + std::strerror(errno);
        return false;
    }
    if (static_cast<size_t>(written) != bytes.size()) {
        *error = "cannot write to " + path_ + ": only " + std::to_string(written) + " of " +
                 std::to_string(bytes.size()) + " bytes written (disk full?)";
        return false;
    }
    if (::fsync(fd) != 0) {
        *error = "cannot flush " + path_ + " to the disk: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool AppendFile::lock(std::string* error)
{
    int locked;
    do {
        locked = ::flock(static_cast<int>(handle_), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked == 0)
        return true;
    *error = "cannot lock " + path_ + ": " + std::strerror(errno);
    return false;
}

void AppendFile::unlock() { ::flock(static_cast<int>(handle_), LOCK_UN); }

void AppendFile::close()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = -1;
}

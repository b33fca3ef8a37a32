// Waiting for port changes on Linux (see port_watch.h): one inotify descriptor on /dev, on
// udev's /dev/serial/by-id and by-path, and on the folder of a device path given. Device
// nodes appear in /dev once the kernel has registered the port, so its sysfs description is
// complete by then. A folder that cannot be watched (missing, out of watches) is simply not
// watched: the caller's timeout covers it.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "transport/port_open.h"
#include "transport/port_watch.h"

struct PortWatch::Watched {
    int fd = -1;
};

namespace {

constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB;

std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

PortWatch::PortWatch(const std::string& devicePath) : watched_(new Watched)
{
    watched_->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watched_->fd < 0)
        return;
    for (const char* folder : {"/dev", "/dev/serial/by-id", "/dev/serial/by-path"})
        inotify_add_watch(watched_->fd, folder, kChanges);
    if (!devicePath.empty())
        inotify_add_watch(watched_->fd, folderOf(portDevicePath(devicePath)).c_str(), kChanges);
}

PortWatch::~PortWatch()
{
    if (watched_->fd >= 0)
        close(watched_->fd);
}

void PortWatch::wait(int timeoutMs)
{
    if (watched_->fd < 0) {
        poll(nullptr, 0, timeoutMs);
        return;
    }
    pollfd events = {watched_->fd, POLLIN, 0};
    if (poll(&events, 1, timeoutMs) > 0) {
        char drain[4096];
        while (read(watched_->fd, drain, sizeof drain) > 0) {
        }
    }
}

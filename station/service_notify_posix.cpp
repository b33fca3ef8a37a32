// The service manager's notification socket on POSIX (see service_notify.h): one AF_UNIX
// datagram socket, opened close-on-exec so that the workers do not hold it.
#include "station/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

class NotifySocket {
public:
    ~NotifySocket()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    // `name`: a path, or "@name" for Linux's abstract namespace.
    bool open(const std::string& name)
    {
        if (name.size() < 2 || (name[0] != '/' && name[0] != '@') || name.size() >= sizeof address_.sun_path)
            return false;
        address_.sun_family = AF_UNIX;
        std::memcpy(address_.sun_path, name.data(), name.size());
        if (name[0] == '@')
            address_.sun_path[0] = '\0';
        length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        return fd_ >= 0;
    }
    // A datagram never blocks the station's loop for long; one the manager misses is repeated
    // by the next status or watchdog turn.
    void send(const std::string& message) const
    {
        (void)sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&address_), length_);
    }

private:
    int fd_ = -1;
    sockaddr_un address_{};
    socklen_t length_ = 0;
};

std::chrono::milliseconds watchdogPeriod()
{
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (!usec || (pid && std::strtoll(pid, nullptr, 10) != getpid()))
        return std::chrono::milliseconds(0);  // no watchdog, or it is another process's
    const long long timeout = std::strtoll(usec, nullptr, 10);
    // Half the timeout, as the manager advises: one late turn must not look like a hang.
    return std::chrono::milliseconds(timeout > 0 ? std::max(1LL, timeout / 2000) : 0);
}

}  // namespace

std::unique_ptr<ServiceNotifier> serviceNotifierFromEnvironment()
{
    const char* name = std::getenv("NOTIFY_SOCKET");
    auto socket = std::make_shared<NotifySocket>();
    if (!name || !socket->open(name))
        return nullptr;
    return std::make_unique<ServiceNotifier>([socket](const std::string& message) { socket->send(message); },
                                             watchdogPeriod());
}

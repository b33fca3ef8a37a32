// The page server's sockets on POSIX (listen_socket.h). SO_REUSEADDR alone lets a restarted
// program take its port back past TIME_WAIT while another live listener still refuses it.
#include "web/listen_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int kBacklog = 64;

int boundPort(int fd)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

}  // namespace

bool openListenSocket(const std::string& host, int port, std::uintptr_t* socket, int* bound, std::string* error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return (*error = "not an address of this machine: " + host, false);
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    const bool listening = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                           bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, kBacklog) == 0;
    const std::string why = std::strerror(errno);
    freeaddrinfo(found);
    if (!listening) {
        if (fd >= 0)
            close(fd);
        return (*error = "cannot listen on " + host + ":" + std::to_string(port) + " (" + why + ")", false);
    }
    *socket = static_cast<std::uintptr_t>(fd);
    *bound = boundPort(fd);
    return true;
}

void closeSocket(std::uintptr_t socket) { close(static_cast<int>(socket)); }

void cutConnection(std::uintptr_t socket) { shutdown(static_cast<int>(socket), SHUT_RDWR); }

std::string peerAddress(const void* sockaddr)
{
    const auto* address = static_cast<const struct sockaddr*>(sockaddr);
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    else if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    return text;
}

long descriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    return static_cast<long>(limit.rlim_cur);
}

std::string thisHostName()
{
    char name[256] = "";
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// The page server's sockets on Windows (listen_socket.h): SO_EXCLUSIVEADDRUSE, so that no
// other program can bind the port over ours.
#include "web/listen_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace {

constexpr int kBacklog = 64;

int boundPort(SOCKET s)
{
    sockaddr_storage address{};
    int size = sizeof address;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

}  // namespace

bool openListenSocket(const std::string& host, int port, std::uintptr_t* socket, int* bound, std::string* error)
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);  // counted: the library's own start-up pairs with its own clean-up
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return (*error = "not an address of this machine: " + host, false);
    const SOCKET s = ::socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    BOOL yes = TRUE;
    const bool listening =
        s != INVALID_SOCKET &&
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes) == 0 &&
        bind(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 && listen(s, kBacklog) == 0;
    const int why = WSAGetLastError();
    freeaddrinfo(found);
    if (!listening) {
        if (s != INVALID_SOCKET)
            closesocket(s);
        return (*error = "cannot listen on " + host + ":" + std::to_string(port) + " (Windows socket error " +
                         std::to_string(why) + ")",
                false);
    }
    *socket = static_cast<std::uintptr_t>(s);
    *bound = boundPort(s);
    return true;
}

void closeSocket(std::uintptr_t socket) { closesocket(static_cast<SOCKET>(socket)); }

void cutConnection(std::uintptr_t socket) { shutdown(static_cast<SOCKET>(socket), SD_BOTH); }

std::string peerAddress(const void* sockaddr)
{
    const auto* address = static_cast<const struct sockaddr*>(sockaddr);
    char text[INET6_ADDRSTRLEN] = "";
    const DWORD size = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(address, static_cast<int>(size), text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
        return {};
    return text;
}

// Windows sets no per-process limit on sockets that a few dozen connections could reach.
long descriptorLimit() { return 0; }

std::string thisHostName()
{
    char name[256] = "";
    DWORD size = sizeof name;
    return GetComputerNameExA(ComputerNameDnsHostname, name, &size) ? name : "";
}

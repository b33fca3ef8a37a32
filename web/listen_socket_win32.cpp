// Listening socket options on Windows (listen_socket.h): SO_EXCLUSIVEADDRUSE, so that no other
// program can bind the port over ours.
#include "web/listen_socket.h"

#include <winsock2.h>
#include <windows.h>

void setListenOptions(std::uintptr_t socket)
{
    BOOL yes = TRUE;
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
               sizeof yes);
}

std::string thisHostName()
{
    char name[256] = "";
    DWORD size = sizeof name;
    return GetComputerNameExA(ComputerNameDnsHostname, name, &size) ? name : "";
}

// Listening socket options on POSIX (listen_socket.h): SO_REUSEADDR alone lets a restarted
// program take its port back past TIME_WAIT while another live listener still refuses it.
#include "web/listen_socket.h"

#include <sys/socket.h>
#include <unistd.h>

void setListenOptions(std::uintptr_t socket)
{
    int yes = 1;
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

std::string thisHostName()
{
    char name[256] = "";
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

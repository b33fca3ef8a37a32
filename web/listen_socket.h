// The options of a page's listening socket, one file per OS: a second program asking for a
// port already served must be refused, not quietly given half its connections (cpp-httplib's
// own default on Linux is SO_REUSEPORT, which allows exactly that).
#ifndef TARVOLO_WEB_LISTEN_SOCKET_H
#define TARVOLO_WEB_LISTEN_SOCKET_H

#include <cstdint>

#include <string>

// `socket` is the platform's socket handle, widened.
void setListenOptions(std::uintptr_t socket);
// This machine's own host name, which a browser on it may use for a page served here; empty
// when it cannot be told.
std::string thisHostName();

#endif

// The page server's sockets, one file per OS: the listening socket it is handed (a second
// program asking for a port already served must be refused, not quietly given half its
// connections), cutting a connection that overstays, a peer's address as text, and how many
// descriptors the process may hold (the server keeps well below it, so that a station's
// worker restart always finds descriptors for its pipes).
#ifndef TARVOLO_WEB_LISTEN_SOCKET_H
#define TARVOLO_WEB_LISTEN_SOCKET_H

#include <cstdint>

#include <string>

// Socket handles are the platform's, widened.
// Listens on `host`:`port` (0: any free port, the one taken put in `*bound`) with a short
// backlog. False with a message, nothing left open, when the address cannot be taken.
bool openListenSocket(const std::string& host, int port, std::uintptr_t* socket, int* bound, std::string* error);
void closeSocket(std::uintptr_t socket);
// Ends both directions of a connection at once: the thread waiting on it wakes and closes it.
void cutConnection(std::uintptr_t socket);
// A peer's numeric address ("127.0.0.1", "::1") from the platform's socket address.
std::string peerAddress(const void* sockaddr);
// The descriptors this process may hold at once; 0 when the system sets no such limit.
long descriptorLimit();
// This machine's own host name, which a browser on it may use for a page served here; empty
// when it cannot be told.
std::string thisHostName();

#endif

// Where a page is served: `--http [ADDRESS:]PORT` as the operator gives it, and whether that
// address may be served without a token.
#ifndef TARVOLO_WEB_LISTEN_ADDRESS_H
#define TARVOLO_WEB_LISTEN_ADDRESS_H

#include <string>

struct ListenAddress {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port (the one taken is then told)
};

// "8080", "0.0.0.0:8080", "[::1]:8080". False with a reason otherwise.
bool parseListenAddress(const std::string& text, ListenAddress* address, std::string* error);
// 127.0.0.1, ::1 and "localhost", the default's own: reachable from this machine only. Every
// other address needs a token, even another of 127.0.0.0/8: an operator who names an address
// means to reach the page from elsewhere, through whatever forwards to it.
bool servedWithoutToken(const std::string& host);

#endif

// The terms every page is served on, from `--http [ADDRESS:]PORT` and `--http-token-file`:
// 127.0.0.1 unless an address is given, and any other address only with a token. Shared by
// the station's page and the line's dashboard so that both refuse alike.
#ifndef TARVOLO_WEB_SERVING_TERMS_H
#define TARVOLO_WEB_SERVING_TERMS_H

#include <string>

#include "web/listen_address.h"

// False with a message naming the option (exit code 64 for the caller).
bool servingTerms(const std::string& listen, const std::string& tokenFile, ListenAddress* where, std::string* token,
                  std::string* error);
// Where a browser finds the page: "http://127.0.0.1:8080/", "http://[::1]:8080/".
std::string pageUrl(const ListenAddress& where, int port);

#endif

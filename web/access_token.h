// The token a page served beyond this machine asks for: read once from --http-token-file (a
// file only its owner may read, on POSIX), then compared with what a script brings in an
// Authorization: Bearer header (the login page's, once; page_access.h turns it into a session).
#ifndef TARVOLO_WEB_ACCESS_TOKEN_H
#define TARVOLO_WEB_ACCESS_TOKEN_H

#include <string>

// The file's first line, which must be 16 to 512 characters a cookie can carry unquoted
// (letters, digits and - . _ ~ + / =), in a file its group and others cannot open. False with
// a message naming the file (and, for its mode, the fix) otherwise.
bool readAccessToken(const std::string& path, std::string* token, std::string* error);
// True when `given` is the token; the time taken does not depend on where they differ.
bool sameToken(const std::string& given, const std::string& token);
// The value of cookie `name` in a Cookie header ("a=1; tarvolo_session=..."), empty when absent.
std::string cookieValue(const std::string& header, const std::string& name);

#endif

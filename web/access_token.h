// The token a page served beyond this machine asks for: read once from --http-token-file, then
// compared with what a browser brings (its cookie, or an Authorization: Bearer header from a
// script such as the login page's). The browser keeps it in a cookie marked HttpOnly (no
// script of any page can read it) and SameSite=Strict (no other site's page sends it).
#ifndef TARVOLO_WEB_ACCESS_TOKEN_H
#define TARVOLO_WEB_ACCESS_TOKEN_H

#include <string>

constexpr const char* kTokenCookie = "tarvolo_token";

// The file's first line, which must be 16 to 512 characters a cookie can carry unquoted
// (letters, digits and - . _ ~ + / =). False with a message naming the file otherwise.
bool readAccessToken(const std::string& path, std::string* token, std::string* error);
// True when `given` is the token; the time taken does not depend on where they differ.
bool sameToken(const std::string& given, const std::string& token);
// The value of cookie `name` in a Cookie header ("a=1; tarvolo_token=..."), empty when absent.
std::string cookieValue(const std::string& header, const std::string& name);

#endif

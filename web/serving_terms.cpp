// The terms a page is served on (serving_terms.h).
#include "web/serving_terms.h"

#include "web/access_token.h"

bool servingTerms(const std::string& listen, const std::string& tokenFile, ListenAddress* where, std::string* token,
                  std::string* error)
{
    if (!parseListenAddress(listen, where, error))
        return (*error = "--http: " + *error, false);
    if (!servedWithoutToken(where->host) && tokenFile.empty())
        return (*error = "--http " + listen + ": an address other than 127.0.0.1 needs --http-token-file", false);
    if (!tokenFile.empty() && !readAccessToken(tokenFile, token, error))
        return (*error = "--http-token-file: " + *error, false);
    return true;
}

std::string pageUrl(const ListenAddress& where, int port)
{
    const bool v6 = where.host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + where.host + "]" : where.host) + ":" + std::to_string(port) + "/";
}

// `--http [ADDRESS:]PORT` (see listen_address.h).
#include "web/listen_address.h"

#include <cctype>

namespace {

bool portNumber(const std::string& text, int* port)
{
    if (text.empty() || text.size() > 5)
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    *port = std::stoi(text);
    return *port <= 65535;
}

}  // namespace

bool parseListenAddress(const std::string& text, ListenAddress* address, std::string* error)
{
    const size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (!portNumber(port, &address->port))
        return (*error = "not a port number (0 to 65535): " + port, false);
    if (host.empty() || host.find_first_of("[]/ ") != std::string::npos)
        return (*error = "not an address to listen on: " + host, false);
    address->host = host;
    return true;
}

bool servedWithoutToken(const std::string& host)
{
    return host == "127.0.0.1" || host == "::1" || host == "localhost";
}

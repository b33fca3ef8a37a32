// The page's access token (see access_token.h).
#include "web/access_token.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "web/secret_file.h"

namespace {

bool tokenCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || std::string("-._~+/=").find(c) != std::string::npos;
}

}  // namespace

bool readAccessToken(const std::string& path, std::string* token, std::string* error)
{
    if (!secretFileKept(path, "the token file", error))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return (*error = "cannot read the token file " + path, false);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    bool usable = line.size() >= 16 && line.size() <= 512;
    for (char c : line)
        usable = usable && tokenCharacter(c);
    if (!usable)
        return (*error = "the token file " + path +
                         " must hold on its first line 16 to 512 letters, digits or - . _ ~ + / =",
                false);
    *token = line;
    return true;
}

bool sameToken(const std::string& given, const std::string& token)
{
    unsigned difference = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(token[i]) ^
                      static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    return difference == 0;
}

std::string cookieValue(const std::string& header, const std::string& name)
{
    size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';'))
            ++at;
        const size_t end = std::min(header.find(';', at), header.size());
        const std::string pair = header.substr(at, end - at);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos && pair.compare(0, equals, name) == 0 && equals == name.size())
            return pair.substr(equals + 1);
        at = end;
    }
    return {};
}

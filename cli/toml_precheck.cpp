#include "cli/toml_precheck.h"

namespace {

std::string hex2(unsigned char byte)
{
    const char* digits = "0123456789ABCDEF";
    return std::string("0x") + digits[byte >> 4] + digits[byte & 15];
}

// Where the scan stands: in TOML's own syntax, or inside something whose text is free.
enum class Inside { Syntax, Comment, Basic, Literal, MultiBasic, MultiLiteral };

size_t runOf(const std::string& text, size_t at, char quote)
{
    size_t end = at;
    while (end < text.size() && text[end] == quote)
        ++end;
    return end - at;
}

// From TOML's syntax at an opening quote: which string starts, and where its text begins.
Inside opening(const std::string& text, size_t* at)
{
    const char quote = text[*at];
    const bool multi = runOf(text, *at, quote) >= 3;
    *at += multi ? 3 : 1;
    if (quote == '"')
        return multi ? Inside::MultiBasic : Inside::Basic;
    return multi ? Inside::MultiLiteral : Inside::Literal;
}

// One step inside a string or comment; returns where the scan stands after the byte(s) at *at.
// A multi-line string closes on three quotes, and a run of up to five holds one or two of them
// in its text: the whole run is consumed, so what follows is judged as syntax, as toml++ does.
Inside within(Inside inside, const std::string& text, size_t* at)
{
    const char c = text[*at];
    const bool escapes = inside == Inside::Basic || inside == Inside::MultiBasic;
    if (escapes && c == '\\') {
        *at += 2;
        return inside;
    }
    if (c == '\n' && (inside == Inside::Comment || inside == Inside::Basic || inside == Inside::Literal)) {
        ++*at;  // a single-line string left open at its line end is an error toml++ reports
        return Inside::Syntax;
    }
    const char quote = inside == Inside::Basic || inside == Inside::MultiBasic ? '"' : '\'';
    if (c == quote && inside != Inside::Comment) {
        const bool multi = inside == Inside::MultiBasic || inside == Inside::MultiLiteral;
        const size_t run = runOf(text, *at, quote);
        if (!multi) {
            ++*at;
            return Inside::Syntax;
        }
        *at += run;
        return run >= 3 ? Inside::Syntax : inside;
    }
    ++*at;
    return inside;
}

}  // namespace

bool tomlControlFree(const std::string& text, const std::string& path, std::string* error)
{
    size_t line = 1;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n')
            ++line;
        else if ((byte < 0x20 && byte != '\t' && byte != '\r') || byte == 0x7F) {
            *error = path + ":" + std::to_string(line) + ": a control character (" + hex2(byte) +
                     ") where TOML allows none";
            return false;
        }
    }
    return true;
}

bool tomlAsciiOutsideStrings(const std::string& text, const std::string& path, std::string* error)
{
    Inside inside = Inside::Syntax;
    size_t line = 1;
    for (size_t at = 0; at < text.size();) {
        const size_t from = at;
        const auto byte = static_cast<unsigned char>(text[at]);
        if (inside != Inside::Syntax) {
            inside = within(inside, text, &at);
        } else if (byte >= 0x80) {
            *error = path + ":" + std::to_string(line) +
                     ": a character past ASCII outside quotes, where TOML allows only ASCII "
                     "(names and words with accents go in quotes)";
            return false;
        } else if (byte == '#') {
            inside = Inside::Comment;
            ++at;
        } else if (byte == '"' || byte == '\'') {
            inside = opening(text, &at);
        } else {
            ++at;
        }
        for (size_t i = from; i < at && i < text.size(); ++i)
            line += text[i] == '\n' ? 1 : 0;
    }
    return true;
}

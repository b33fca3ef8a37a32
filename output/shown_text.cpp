// Showing text from outside (see shown_text.h).
#include "output/shown_text.h"

#include <cstdio>

namespace {

bool printableAscii(uint8_t c) { return c >= 0x20 && c < 0x7F && c != '\\'; }

void appendEscaped(std::string* out, uint8_t c)
{
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    *out += escaped;
}

bool continuation(uint8_t c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 character at text[at] (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when the bytes there are not one.
size_t characterLength(std::string_view text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t c = byte(at);
    const size_t left = text.size() - at;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        return left >= 2 && continuation(byte(at + 1)) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !continuation(byte(at + 1)) || !continuation(byte(at + 2)))
            return 0;
        if ((c == 0xE0 && byte(at + 1) < 0xA0) || (c == 0xED && byte(at + 1) > 0x9F))
            return 0;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !continuation(byte(at + 1)) || !continuation(byte(at + 2)) ||
            !continuation(byte(at + 3)))
            return 0;
        if ((c == 0xF0 && byte(at + 1) < 0x90) || (c == 0xF4 && byte(at + 1) > 0x8F))
            return 0;
        return 4;
    }
    return 0;
}

// U+0080 to U+009F, two bytes C2 80..C2 9F: terminals act on some of them as on ESC [.
bool c1Control(std::string_view text, size_t at, size_t length)
{
    return length == 2 && static_cast<uint8_t>(text[at]) == 0xC2 &&
           static_cast<uint8_t>(text[at + 1]) < 0xA0;
}

}  // namespace

std::string shownBytes(const uint8_t* bytes, size_t length)
{
    std::string shown;
    for (size_t i = 0; i < length; ++i) {
        if (printableAscii(bytes[i]))
            shown += static_cast<char>(bytes[i]);
        else
            appendEscaped(&shown, bytes[i]);
    }
    return shown;
}

std::string shownBytes(const char* bytes, size_t length)
{
    return shownBytes(reinterpret_cast<const uint8_t*>(bytes), length);
}

std::string shownBytes(std::string_view bytes)
{
    return shownBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string shownText(std::string_view text)
{
    std::string shown;
    for (char c : text) {
        if (c == '\r' || c == '\n')
            shown += c;
        else
            shown += shownBytes(&c, 1);
    }
    return shown;
}

std::string asciiLower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string hex4(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "%04llX", static_cast<unsigned long long>(value));
    return text;
}

bool validUtf8(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t length = characterLength(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

std::string terminalSafe(std::string_view text, bool keepLineBreaks)
{
    std::string safe;
    for (size_t i = 0; i < text.size();) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        const size_t length = characterLength(text, i);
        const bool control = length == 1 && (c < 0x20 || c == 0x7F) && !(keepLineBreaks && c == '\n');
        if (length == 0 || control || c1Control(text, i, length)) {
            appendEscaped(&safe, c);
            ++i;
        } else {
            safe.append(text.substr(i, length));
            i += length;
        }
    }
    return safe;
}

std::string utf8OrShown(std::string_view text)
{
    return validUtf8(text) ? std::string(text) : shownBytes(text);
}

size_t columnsOf(std::string_view text)
{
    size_t columns = 0;
    for (char c : text)
        columns += !continuation(static_cast<uint8_t>(c));
    return columns;
}

std::string firstColumns(std::string_view text, size_t columns)
{
    size_t at = 0;
    for (size_t seen = 0; at < text.size(); ++at) {
        if (!continuation(static_cast<uint8_t>(text[at])) && seen++ == columns)
            break;
    }
    return std::string(text.substr(0, at));
}

std::string lastColumns(std::string_view text, size_t columns)
{
    const size_t total = columnsOf(text);
    if (total <= columns)
        return std::string(text);
    size_t at = 0;
    for (size_t skipped = 0; at < text.size(); ++at) {
        if (!continuation(static_cast<uint8_t>(text[at])) && skipped++ == total - columns)
            break;
    }
    return std::string(text.substr(at));
}

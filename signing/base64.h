// Standard base64 (RFC 4648, with padding), the armour of minisign's key and signature lines.
// The decoder is strict: a line from outside that is not exactly base64 is refused, not
// repaired, so two different texts never decode to the same key.
#ifndef TARVOLO_SIGNING_BASE64_H
#define TARVOLO_SIGNING_BASE64_H

#include <string>
#include <string_view>

std::string base64Encode(std::string_view bytes);
// False when `text` is not padded base64 (any other character, a wrong length, bits left over).
bool base64Decode(std::string_view text, std::string* bytes);

#endif

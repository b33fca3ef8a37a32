// How bytes from outside (a handset, a file, an adapter) become text, and what may reach a
// terminal. One rule: printable ASCII as it is, every other byte (and the backslash, so that
// the form reads back unambiguously) as \xNN.
#ifndef TARVOLO_OUTPUT_SHOWN_TEXT_H
#define TARVOLO_OUTPUT_SHOWN_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Bytes from outside by the rule: "KM\x0152".
std::string shownBytes(const uint8_t* bytes, size_t length);
std::string shownBytes(const char* bytes, size_t length);
std::string shownBytes(std::string_view bytes);
// A text that carries bytes from outside inside our own words (the engine's status texts):
// the rule, but line breaks (\r, \n) stay line breaks.
std::string shownText(std::string_view text);

// A checksum as the kit shows it: four upper-case hex digits (more only for a value that
// does not fit 16 bits, as a damaged record may hold).
std::string hex4(uint64_t value);

// A-Z as a-z and every other byte as it is, whatever the locale: for names that compare
// without case (connection-string keys, Host headers).
std::string asciiLower(std::string text);

bool validUtf8(std::string_view text);
// What a terminal may receive of a text of any origin: valid UTF-8 characters as they are
// (an operator's "Zoë"), but every control character, C1 control and byte that is not UTF-8
// as \xNN. Line breaks stay when `keepLineBreaks`.
std::string terminalSafe(std::string_view text, bool keepLineBreaks = false);
// A text fit for JSON and CSV: itself when valid UTF-8 (an operator's words, exactly as
// given), else by the rule (bytes that no check has turned into text yet).
std::string utf8OrShown(std::string_view text);

// Terminal columns a UTF-8 text takes (one per character: what the kit prints is narrow).
size_t columnsOf(std::string_view text);
// The first `columns` characters of a UTF-8 text, never cutting one in two.
std::string firstColumns(std::string_view text, size_t columns);
// The last `columns` characters.
std::string lastColumns(std::string_view text, size_t columns);

#endif

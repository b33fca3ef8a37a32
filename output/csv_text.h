// CSV as RFC 4180 writes it: a field with a comma, quote or line break is quoted, quotes
// doubled. A field that is not UTF-8 is written by the rule of shown_text.h.
#ifndef TARVOLO_OUTPUT_CSV_TEXT_H
#define TARVOLO_OUTPUT_CSV_TEXT_H

#include <string>
#include <vector>

std::string csvField(const std::string& text);
// The fields joined by commas, without the line end (CSV's is "\r\n").
std::string csvRow(const std::vector<std::string>& fields);

#endif

// CSV as RFC 4180 writes it: a field with a comma, quote or line break is quoted, quotes
// doubled. A field that is not UTF-8 is written by the rule of shown_text.h. A text that a
// spreadsheet would take for a formula is written as text (spreadsheetText).
#ifndef TARVOLO_OUTPUT_CSV_TEXT_H
#define TARVOLO_OUTPUT_CSV_TEXT_H

#include <string>
#include <vector>

// The text with an apostrophe in front when it starts with = + - @ or a tab or carriage
// return and is not a number: spreadsheets run such a cell as a formula (an operator's or a
// label's words could fetch or run anything there), and show the apostrophe as nothing.
std::string spreadsheetText(const std::string& text);
std::string csvField(const std::string& text);
// The fields joined by commas, without the line end (CSV's is "\r\n").
std::string csvRow(const std::vector<std::string>& fields);

#endif

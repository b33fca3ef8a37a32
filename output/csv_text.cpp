// The CSV writer (see csv_text.h).
#include "output/csv_text.h"

#include <cstdlib>
#include <string_view>

#include "output/shown_text.h"

namespace {

bool isNumber(const std::string& text)
{
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size();
}

}  // namespace

std::string spreadsheetText(const std::string& text)
{
    if (text.empty() || std::string_view("=+-@\t\r").find(text[0]) == std::string_view::npos || isNumber(text))
        return text;
    return "'" + text;
}

std::string csvField(const std::string& raw)
{
    const std::string text = spreadsheetText(utf8OrShown(raw));
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string csvRow(const std::vector<std::string>& fields)
{
    std::string row;
    for (size_t i = 0; i < fields.size(); ++i)
        row += (i == 0 ? "" : ",") + csvField(fields[i]);
    return row;
}

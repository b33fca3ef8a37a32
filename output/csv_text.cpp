// The CSV writer (see csv_text.h).
#include "output/csv_text.h"

#include "output/shown_text.h"

std::string csvField(const std::string& raw)
{
    const std::string text = utf8OrShown(raw);
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

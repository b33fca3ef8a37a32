// libFuzzer harness of the output kit: whatever bytes a handset, a file or an adapter sends,
// every formatter gives output its reader takes. The JSON writer's line parses and carries
// the text (exactly when it was UTF-8, by the \xNN rule otherwise); a CSV row reads back
// field for field; what goes to a terminal holds no control byte but the line breaks and the
// redraw's own cursor sequences, and fits the width it was cut to.
//
// Input: NUL-separated fields; the first byte also chooses a column width.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "output/csv_text.h"
#include "output/json_line.h"
#include "output/shown_text.h"
#include "output/terminal_view.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

std::vector<std::string> fieldsOf(const uint8_t* data, size_t size)
{
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back() += static_cast<char>(data[i]);
    }
    return fields;
}

// RFC 4180, one row: the reader a spreadsheet or Python's csv module would be.
std::vector<std::string> readCsvRow(const std::string& row)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < row.size(); ++i) {
        const char c = row[i];
        if (quoted && c == '"' && i + 1 < row.size() && row[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    require(!quoted);
    return fields;
}

bool controlByte(uint8_t c, bool lineBreaksAllowed)
{
    return (c < 0x20 && !(lineBreaksAllowed && (c == '\n' || c == '\r'))) || c == 0x7F;
}

void checkPrintableAscii(const std::string& text, bool lineBreaksAllowed)
{
    for (char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        require(byte < 0x80 && !controlByte(byte, lineBreaksAllowed));
    }
}

// Valid UTF-8 with no C0, DEL or C1 control (but '\n' when allowed).
void checkTerminalText(const std::string& text, bool newlines)
{
    require(validUtf8(text));
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        require(!controlByte(c, false) || (newlines && c == '\n'));
        require(!(c == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) < 0xA0));
    }
}

void checkJson(const std::string& field)
{
    const std::string line = jsonLine(nlohmann::json{{"text", field}, {"list", {field, 1}}});
    require(line.find('\n') == std::string::npos);
    const nlohmann::json back = nlohmann::json::parse(line);  // throws, and so fails, if broken
    const std::string expected = validUtf8(field) ? field : shownBytes(field);
    require(back["text"] == expected && back["list"][0] == expected);
}

// What the live block drew, twice, its own "ESC [ n A ESC [ J" taken out, as lines.
std::vector<std::string> drawnLines(const std::vector<std::string>& lines, int columns)
{
    char* buffer = nullptr;
    size_t length = 0;
    std::FILE* out = open_memstream(&buffer, &length);
    require(out != nullptr);
    {
        LiveBlock block(columns, out);
        block.draw(lines);
        block.draw(lines);
    }
    std::fclose(out);
    std::string text(buffer, length);
    std::free(buffer);
    // The second draw: up over the first, erase, the same lines again.
    const size_t up = text.find("\x1b[");
    const size_t erase = text.find("\x1b[J");
    require(up != std::string::npos && erase != std::string::npos && erase > up);
    require(text.substr(0, up) == text.substr(erase + 3));
    text = text.substr(0, up);
    checkTerminalText(text, true);
    std::vector<std::string> rows(1);
    for (char c : text) {
        if (c == '\n')
            rows.emplace_back();
        else
            rows.back() += c;
    }
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<std::string> fields = fieldsOf(data, size);
    const size_t width = size > 0 ? data[0] % 40 : 0;
    std::vector<std::string> shown, cells;
    for (const std::string& field : fields) {
        checkPrintableAscii(shownBytes(field), false);
        checkPrintableAscii(shownText(field), true);
        checkTerminalText(terminalSafe(field), false);
        checkTerminalText(terminalSafe(field, true), true);
        checkJson(field);
        for (bool keepStart : {false, true}) {
            const std::string fitted = fitColumn(terminalSafe(field), width, keepStart);
            require(columnsOf(fitted) == width || (width == 0 && fitted.empty()));
        }
        shown.push_back(utf8OrShown(field));
        cells.push_back(spreadsheetText(shown.back()));
    }
    require(readCsvRow(csvRow(fields)) == cells);

    const int columns = 2 + static_cast<int>(width);
    for (const std::string& row : drawnLines(fields, columns))
        require(columnsOf(row) <= static_cast<size_t>(columns - 1));
    for (const std::string& name : distinctNames(shown, width))
        require(validUtf8(name));
    if (size >= 8) {
        double value;
        std::memcpy(&value, data, sizeof value);
        checkPrintableAscii(formatDuration(value) + formatRate(value), false);
    }
    return 0;
}

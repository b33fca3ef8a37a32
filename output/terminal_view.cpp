// The terminal view kit (see terminal_view.h).
#include "output/terminal_view.h"

#include "output/shown_text.h"

namespace {

const char* const kCutMark = "…";

void splitLines(const std::string& text, std::vector<std::string>* lines)
{
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines->push_back(text.substr(start, end - start));
        start = end + 1;
    }
    lines->push_back(text.substr(start));
}

// The folder every name starts with ("/tmp/x/"), or "" when they share none.
std::string sharedFolder(const std::vector<std::string>& names)
{
    if (names.empty())
        return {};
    std::string shared = names[0];
    for (const std::string& name : names) {
        size_t n = 0;
        while (n < shared.size() && n < name.size() && shared[n] == name[n])
            ++n;
        shared.resize(n);
    }
    const size_t slash = shared.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : shared.substr(0, slash + 1);
}

}  // namespace

LiveBlock::LiveBlock(int columns, std::FILE* out)
    : out_(out), width_(columns > 1 ? static_cast<size_t>(columns - 1) : 79)
{
}

void LiveBlock::draw(const std::vector<std::string>& lines)
{
    std::vector<std::string> rows;
    for (const std::string& line : lines)
        splitLines(terminalSafe(line, true), &rows);
    std::string block;
    for (const std::string& row : rows)
        block += firstColumns(row, width_) + "\n";
    if (drawnLines_ > 0)
        std::fprintf(out_, "\x1b[%dA\x1b[J", drawnLines_);
    std::fputs(block.c_str(), out_);
    std::fflush(out_);
    drawnLines_ = static_cast<int>(rows.size());
}

void LiveBlock::printAbove(const std::string& line)
{
    std::fprintf(out_, "%s\n", terminalSafe(line, true).c_str());
    std::fflush(out_);
    drawnLines_ = 0;
}

std::string progressBar(int64_t done, int64_t total, int width)
{
    const int64_t filled = total > 0 ? done * width / total : 0;
    std::string bar = "[";
    for (int i = 0; i < width; ++i)
        bar += i < filled ? '#' : '-';
    return bar + "]";
}

std::string formatDuration(double seconds)
{
    if (!(seconds >= 0 && seconds <= 359999))  // NaN too
        return "--:--";
    const long total = static_cast<long>(seconds + 0.5);
    char text[32];
    if (total < 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return text;
}

std::string formatRate(double bytesPerSecond)
{
    if (!(bytesPerSecond > 0))
        return {};
    char text[32];
    std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
    return text;
}

std::string fitColumn(const std::string& text, size_t width, bool keepStart)
{
    const size_t columns = columnsOf(text);
    if (columns <= width)
        return text + std::string(width - columns, ' ');
    if (width == 0)
        return {};
    return keepStart ? firstColumns(text, width - 1) + kCutMark : kCutMark + lastColumns(text, width - 1);
}

std::vector<std::string> distinctNames(const std::vector<std::string>& names, size_t width)
{
    bool tooWide = false;
    for (const std::string& name : names)
        tooWide = tooWide || columnsOf(name) > width;
    const std::string folder = tooWide ? sharedFolder(names) : std::string();
    std::vector<std::string> shown;
    for (const std::string& name : names)
        shown.push_back(folder.size() > 1 ? kCutMark + name.substr(folder.size() - 1) : name);
    return shown;
}

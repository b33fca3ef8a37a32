// Text trace to capture (see text_trace.h).
#include "capture/text_trace.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "output/shown_text.h"

namespace {

bool hexByte(const std::string& word, uint8_t* byte)
{
    if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
        !std::isxdigit(static_cast<unsigned char>(word[1])))
        return false;
    *byte = static_cast<uint8_t>(std::strtoul(word.c_str(), nullptr, 16));
    return true;
}

bool seconds(const std::string& word, double* value)
{
    char* end = nullptr;
    *value = std::strtod(word.c_str(), &end);
    return !word.empty() && end && *end == '\0' && std::isfinite(*value) && *value >= 0 && *value < 1e9;
}

// One line; false when it is not a trace's.
bool convertLine(const std::string& line, uint64_t startUs, CaptureRecorder& recorder)
{
    std::istringstream in(line);
    std::string time, kind;
    double at = 0;
    if (!(in >> time >> kind) || !seconds(time, &at))
        return false;
    const uint64_t us = startUs + static_cast<uint64_t>(std::llround(at * 1e6));
    if (kind == "--") {
        std::string note;
        std::getline(in >> std::ws, note);
        recorder.note(utf8OrShown(note));
        return true;
    }
    if (kind != "TX" && kind != "RX")
        return false;
    unsigned long speed = 0;
    if (!(in >> speed) || speed == 0 || speed > 10000000)
        return false;
    std::string bytes;
    std::string word;
    while (in >> word) {
        uint8_t byte;
        if (!hexByte(word, &byte))
            return false;
        bytes.push_back(static_cast<char>(byte));
    }
    recorder.lineSpeed(static_cast<uint32_t>(speed));
    recorder.chunkAt(us, kind == "TX", reinterpret_cast<const uint8_t*>(bytes.data()),
                     static_cast<uint32_t>(bytes.size()));
    return true;
}

}  // namespace

bool convertTextTrace(const std::string& text, uint64_t startUs, CaptureRecorder& recorder,
                      std::string* error)
{
    std::istringstream in(text);
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        if (!convertLine(line, startUs, recorder)) {
            *error = "line " + std::to_string(number) + " is not a trace line: " +
                     shownBytes(line.substr(0, 60));
            return false;
        }
    }
    return true;
}

// The JSON writer (see json_line.h).
#include "output/json_line.h"

#include "output/shown_text.h"

namespace {

template <typename Json>
void makeUtf8(Json& value)
{
    if (value.is_string()) {
        std::string& text = value.template get_ref<std::string&>();
        if (!validUtf8(text))
            text = shownBytes(text);
    } else if (value.is_structured()) {
        for (auto& member : value)
            makeUtf8(member);
    }
}

template <typename Json>
std::string dumped(const Json& value, int indent)
{
    try {
        return value.dump(indent);
    } catch (const nlohmann::json::type_error&) {
        // Rare: copy only when some string needs it. Keys are ours and always UTF-8.
        Json copy = value;
        makeUtf8(copy);
        return copy.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
    }
}

template <typename Json>
bool written(std::FILE* out, const Json& value)
{
    const std::string line = dumped(value, -1) + "\n";
    return std::fwrite(line.data(), 1, line.size(), out) == line.size() && std::fflush(out) == 0;
}

}  // namespace

std::string jsonLine(const nlohmann::json& value, int indent) { return dumped(value, indent); }
std::string jsonLine(const nlohmann::ordered_json& value, int indent) { return dumped(value, indent); }
bool writeJsonLine(std::FILE* out, const nlohmann::json& value) { return written(out, value); }
bool writeJsonLine(std::FILE* out, const nlohmann::ordered_json& value) { return written(out, value); }

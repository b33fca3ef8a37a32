// A station's configuration file (see station_config.h). toml++ is used header-only so that
// the Windows build, which has no Debian library to link, reads the same files the same way.
#include "cli/station_config.h"

#include <stdexcept>

// toml++ 3.3 checks some of its parser's expectations by assertion, and a hostile file breaks
// them (a "[" followed by "#" or a control character): a debug build aborts, and a release
// build, which takes them as facts for the optimiser, is undefined. Here a broken expectation
// throws, in every build, and the file is refused. In the few functions toml++ declares
// noexcept (its UTF-8 decoder's and paths' own bookkeeping, which no text reaches) a broken
// expectation still ends the program, as an assertion would; the compiler's note on it is
// silenced here.
struct TomlExpectation : std::runtime_error {
    using std::runtime_error::runtime_error;
};
#pragma push_macro("NDEBUG")
#undef NDEBUG
#define TOML_ASSERT(expr) ((expr) ? void(0) : throw TomlExpectation(#expr))
#define TOML_HEADER_ONLY 1
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wterminate"
#include <toml++/toml.h>
#pragma GCC diagnostic pop
#pragma pop_macro("NDEBUG")

#include <cstdio>
#include <fstream>
#include <vector>

#include "cli/toml_precheck.h"
#include "output/shown_text.h"

namespace {

// A station's configuration is a few dozen lines; a file far longer is not one.
constexpr size_t kLongestFile = 64 * 1024;

// "FILE:LINE: key", the start of every complaint about a key.
std::string placeOf(const std::string& path, const toml::key& key)
{
    return path + ":" + std::to_string(key.source().begin.line) + ": " + shownText(key.str());
}

bool readBounded(const std::string& path, std::string* text, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read the configuration file " + path;
        return false;
    }
    text->resize(kLongestFile + 1);
    in.read(text->data(), static_cast<std::streamsize>(text->size()));
    text->resize(static_cast<size_t>(in.gcount()));
    if (in.bad()) {
        *error = "cannot read the configuration file " + path;
        return false;
    }
    if (text->size() <= kLongestFile)
        return true;
    size_t line = 1;
    for (size_t i = 0; i < kLongestFile; ++i)
        line += (*text)[i] == '\n' ? 1 : 0;
    *error = path + ":" + std::to_string(line) + ": the file goes on past " + std::to_string(kLongestFile / 1024) +
             " KiB, which no station's configuration needs";
    return false;
}

// Text the station will store and show: no control byte may hide in it (TOML's escapes let a
// file write any of them).
bool plainText(const std::string& text, std::string* why)
{
    if (!validUtf8(text)) {
        *why = "is not UTF-8 text";
        return false;
    }
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            *why = "holds a control character: " + shownBytes(text);
            return false;
        }
    }
    return true;
}

bool scalarText(const toml::node& node, std::string* text, std::string* why)
{
    if (const auto* s = node.as_string()) {
        *text = s->get();
        return plainText(*text, why);
    }
    if (const auto* i = node.as_integer()) {
        *text = std::to_string(i->get());
        return true;
    }
    if (const auto* f = node.as_floating_point()) {
        char number[40];
        std::snprintf(number, sizeof number, "%.15g", f->get());
        *text = number;
        return true;
    }
    *why = "wants a text or a number";
    return false;
}

// What the command line would have given the option: one word per value.
bool inputsOf(const CLI::Option& option, const toml::node& node, std::vector<std::string>* inputs,
              std::string* why)
{
    if (option.get_expected_min() == 0) {  // a flag
        if (const auto* b = node.as_boolean()) {
            inputs->push_back(b->get() ? "true" : "false");
            return true;
        }
        *why = "wants true or false";
        return false;
    }
    const auto* list = node.as_array();
    if (!list) {
        inputs->emplace_back();
        return scalarText(node, &inputs->back(), why);
    }
    if (option.get_items_expected_max() <= 1) {
        *why = "takes one value, not a list";
        return false;
    }
    if (list->empty()) {
        *why = "is an empty list";
        return false;
    }
    for (const toml::node& item : *list) {
        inputs->emplace_back();
        if (!scalarText(item, &inputs->back(), why))
            return false;
    }
    return true;
}

CLI::Option* optionNamed(CLI::App& command, const std::string& key)
{
    if (key.empty() || key[0] == '-' || key == "config")
        return nullptr;
    CLI::Option* option = command.get_option_no_throw("--" + key);
    if (!option) {
        option = command.get_option_no_throw(key);  // the positional release file
        if (option && !option->get_positional())
            option = nullptr;
    }
    return option == command.get_help_ptr() ? nullptr : option;
}

// The option as if typed: its validators and its conversion run on the file's value.
bool give(CLI::Option& option, const std::string& key, const std::vector<std::string>& inputs, std::string* why)
{
    try {
        if (option.get_expected_min() == 0)
            option.add_result(option.get_flag_value(key, inputs.front()));
        else
            option.add_result(inputs);
        option.run_callback();
        return true;
    } catch (const CLI::Error& e) {
        *why = e.what();
        return false;
    }
}

std::string keyOf(const CLI::Option& option)
{
    std::string name = option.get_name(false, false);
    return name.substr(name.find_first_not_of('-'));
}

}  // namespace

bool applyStationConfig(CLI::App& command, const std::string& path, std::string* error)
{
    std::string text;
    return readBounded(path, &text, error) && applyStationConfigText(command, text, path, error);
}


bool applyStationConfigText(CLI::App& command, const std::string& text, const std::string& path,
                            std::string* error)
{
    if (!tomlControlFree(text, path, error) || !tomlAsciiOutsideStrings(text, path, error))
        return false;
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        *error = path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return false;
    } catch (const TomlExpectation&) {
        *error = path + ": not a TOML file this station can read (a table header or key is malformed)";
        return false;
    }
    std::vector<std::pair<CLI::Option*, std::string>> given;
    for (const auto& [key, node] : root) {
        const std::string place = placeOf(path, key);
        CLI::Option* option = optionNamed(command, std::string(key.str()));
        if (!option) {
            *error = place + ": not a station option (the keys are the station's option names, "
                             "without their dashes; see tarvolo station --help)";
            return false;
        }
        if (option->count() > 0)
            continue;  // the command line's value wins
        std::vector<std::string> inputs;
        std::string why;
        if (!inputsOf(*option, node, &inputs, &why) || !give(*option, std::string(key.str()), inputs, &why)) {
            *error = place + ": " + why;
            return false;
        }
        given.emplace_back(option, place);
    }
    for (const auto& [option, place] : given) {
        for (const CLI::Option* needed : option->get_needs()) {
            if (needed->count() == 0) {
                *error = place + ": needs " + keyOf(*needed) + " as well";
                return false;
            }
        }
    }
    return true;
}

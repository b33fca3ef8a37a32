// Per-unit settings of a stream of units (see unit_options.h).
#include "handset/unit_options.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

bool parseNumber(const std::string& text, double low, double high, double& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && errno == 0 && value >= low && value <= high;
}

bool parseWhole(const std::string& text, long long low, long long high, long long& value)
{
    if (text.empty() || text.find_first_not_of("-0123456789") != std::string::npos)
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return *end == '\0' && errno == 0 && value >= low && value <= high;
}

using Apply = std::string (*)(const std::string& value, UnitSetup& unit);

std::string applyMs(const std::string& value, double& target)
{
    return parseNumber(value, 0, 600000, target) ? std::string() : "expected milliseconds from 0 to 600000";
}

struct Setting {
    const char* name;
    Apply apply;
};

const Setting kSettings[] = {
    {"product-id", [](const std::string& v, UnitSetup& u) {
         u.options.productId = v;
         return v.empty() || v.size() > 4 ? std::string("1 to 4 characters") : std::string();
     }},
    {"protocol", [](const std::string& v, UnitSetup& u) {
         u.options.protocol = v.empty() ? ' ' : v[0];
         return v == "0" || v == "1" ? std::string() : std::string("0 or 1");
     }},
    {"download-code", [](const std::string& v, UnitSetup& u) {
         u.options.downloadCode = v;
         return v.size() > 7 ? std::string("at most 7 characters") : std::string();
     }},
    {"block-size", [](const std::string& v, UnitSetup& u) {
         long long n = 0;
         const bool ok = parseWhole(v, INT32_MIN, INT32_MAX, n);
         u.options.blockSize = static_cast<int32_t>(n);
         return ok ? std::string() : std::string("expected a whole number");
     }},
    {"image-blocks", [](const std::string& v, UnitSetup& u) {
         long long n = 0;
         const bool ok = parseWhole(v, 0, 65536, n);
         u.options.imageBlocks = static_cast<uint32_t>(n);
         return ok ? std::string() : std::string("expected 0 to 65536");
     }},
    {"noise-bytes", [](const std::string& v, UnitSetup& u) {
         long long n = 0;
         const bool ok = parseWhole(v, 1, 4096, n);
         u.options.faults.noiseBytes = static_cast<uint32_t>(n);
         return ok ? std::string() : std::string("expected 1 to 4096");
     }},
    {"vanish-after-blocks", [](const std::string& v, UnitSetup& u) {
         long long n = 0;
         const bool ok = parseWhole(v, 1, 65536, n);
         u.vanishAfterBlocks = static_cast<uint32_t>(n);
         return ok ? std::string() : std::string("expected 1 to 65536 blocks");
     }},
    {"leave-after-blocks", [](const std::string& v, UnitSetup& u) {
         long long n = 0;
         const bool ok = parseWhole(v, 1, 65536, n);
         u.leaveAfterBlocks = static_cast<uint32_t>(n);
         return ok ? std::string() : std::string("expected 1 to 65536 blocks");
     }},
    {"erase-ms", [](const std::string& v, UnitSetup& u) { return applyMs(v, u.options.eraseMs); }},
    {"write-ms", [](const std::string& v, UnitSetup& u) { return applyMs(v, u.options.writeMs); }},
    {"turnaround-ms", [](const std::string& v, UnitSetup& u) { return applyMs(v, u.options.turnaroundMs); }},
};

std::string applyItem(const UnitItem& item, UnitSetup& unit)
{
    for (const Setting& setting : kSettings) {
        if (item.name != setting.name)
            continue;
        if (!item.hasValue)
            return item.name + ": needs a value (" + item.name + "=VALUE)";
        const std::string error = setting.apply(item.value, unit);
        return error.empty() ? error : item.text() + ": " + error;
    }
    if (item.name == "unanswered-abort" && item.hasValue)
        return item.name + ": takes no value";
    if (item.name == "silent" && !item.hasValue)
        return "silent: needs a phase (silent=PHASE or silent=PHASE=SCHEDULE)";
    // A schedule option alone spoils every chance: "3:wrong-checksum" is unit 3's checksum wrong.
    const std::string value = item.hasValue || !isScheduleOption(item.name) ? item.value : "all";
    bool known = false;
    const std::string error = setFaultOption(unit.options.faults, item.name, value, known);
    return known ? error : item.name + ": unknown setting (a fault option, noise-bytes, product-id, protocol, "
                                       "download-code, block-size, image-blocks, erase-ms, write-ms, "
                                       "turnaround-ms, vanish-after-blocks or leave-after-blocks)";
}

// "3", "2,5", "2-4,7" into unit numbers.
bool parseUnitList(const std::string& text, std::vector<uint32_t>& units)
{
    std::stringstream list(text);
    std::string part;
    while (std::getline(list, part, ',')) {
        const size_t dash = part.find('-');
        long long first = 0, last = 0;
        if (!parseWhole(part.substr(0, dash), 1, 1000000, first))
            return false;
        last = first;
        if (dash != std::string::npos && (!parseWhole(part.substr(dash + 1), first, 1000000, last)))
            return false;
        for (long long n = first; n <= last; ++n)
            units.push_back(static_cast<uint32_t>(n));
    }
    return !units.empty() && !text.empty() && text.back() != ',';
}

UnitItem itemOf(const std::string& text)
{
    UnitItem item;
    const size_t equals = text.find('=');
    item.name = text.substr(0, equals);
    item.hasValue = equals != std::string::npos;
    if (item.hasValue)
        item.value = text.substr(equals + 1);
    return item;
}

// One scenario key and its JSON value as items.
std::string itemsOfJson(const std::string& key, const nlohmann::ordered_json& value, std::vector<UnitItem>& items)
{
    if (value.is_boolean()) {
        if (value.get<bool>())
            items.push_back({key, "", false});
        return {};
    }
    if (value.is_string()) {
        items.push_back({key, value.get<std::string>(), true});
        return {};
    }
    if (value.is_number_integer() || value.is_number_unsigned() || value.is_number_float()) {
        items.push_back({key, value.dump(), true});
        return {};
    }
    if (value.is_array()) {
        for (const nlohmann::ordered_json& element : value)
            if (!element.is_string())
                return key + ": expected an array of strings";
        for (const nlohmann::ordered_json& element : value)
            items.push_back({key, element.get<std::string>(), true});
        return {};
    }
    return key + ": expected a string, a number, true or an array of strings";
}

std::string readFile(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "--scenario " + path + ": " + std::strerror(errno);
    std::stringstream all;
    all << in.rdbuf();
    text = all.str();
    return {};
}

std::string checkUnits(const StreamOptions& stream, const HandsetOptions& options)
{
    for (const auto& [unit, items] : stream.items) {
        if (unit > stream.units)
            return "unit " + std::to_string(unit) + " has settings but the stream has " +
                   std::to_string(stream.units) + " unit(s) (--units)";
        UnitSetup setup;
        const std::string error = setupUnit(options, stream, unit, setup);
        if (!error.empty())
            return error;
    }
    return {};
}

}  // namespace

std::string parseUnitFaults(const std::string& text, StreamOptions& stream)
{
    const size_t colon = text.find(':');
    std::vector<uint32_t> units;
    if (colon == std::string::npos || !parseUnitList(text.substr(0, colon), units))
        return "--unit-faults " + text + ": expected UNITS:ITEM[,ITEM...] with UNITS such as 3, 2,5 or 2-4 (from 1)";
    std::stringstream list(text.substr(colon + 1));
    std::string part;
    std::vector<UnitItem> items;
    while (std::getline(list, part, ','))
        if (!part.empty())
            items.push_back(itemOf(part));
    if (items.empty())
        return "--unit-faults " + text + ": no setting after the unit numbers";
    for (uint32_t unit : units)
        stream.items[unit].insert(stream.items[unit].end(), items.begin(), items.end());
    return {};
}

std::string parseScenario(const std::string& text, StreamOptions& stream)
{
    std::stringstream lines(text);
    std::string line;
    uint32_t lineNumber = 0, unit = 0;
    while (std::getline(lines, line)) {
        ++lineNumber;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        const nlohmann::ordered_json object = nlohmann::ordered_json::parse(line, nullptr, false);
        if (!object.is_object())
            return where + "expected one JSON object per unit";
        std::vector<UnitItem>& items = stream.items[++unit];
        for (const auto& [key, value] : object.items()) {
            const std::string error = itemsOfJson(key, value, items);
            if (!error.empty())
                return where + error;
        }
    }
    if (unit == 0)
        return "no unit in it";
    if (stream.units == 0)
        stream.units = unit;
    if (stream.units < unit)
        return "it has " + std::to_string(unit) + " units but --units is " + std::to_string(stream.units);
    return {};
}

std::string applyStream(StreamOptions& stream, const HandsetOptions& options)
{
    if (!stream.scenario.empty()) {
        std::string text;
        std::string error = readFile(stream.scenario, text);
        if (error.empty())
            error = parseScenario(text, stream);
        if (!error.empty())
            return error.rfind("--scenario", 0) == 0 ? error : "--scenario " + stream.scenario + ": " + error;
    }
    for (const std::string& text : stream.unitFaults) {
        const std::string error = parseUnitFaults(text, stream);
        if (!error.empty())
            return error;
    }
    if (stream.units == 0 && !stream.items.empty())
        return "--unit-faults needs --units (or --scenario)";
    if (stream.units > 0 && options.downloads != 0)
        return "--downloads and --exit-after-download do not go with a stream of units: it ends after its last unit";
    return checkUnits(stream, options);
}

std::string setupUnit(const HandsetOptions& global, const StreamOptions& stream, uint32_t unit, UnitSetup& setup)
{
    setup = UnitSetup{};
    setup.options = global;
    // Each unit draws its own fault probabilities and noise; unit 1 draws what a single handset would.
    setup.options.seed = global.seed + unit - 1;
    const auto found = stream.items.find(unit);
    if (found == stream.items.end())
        return {};
    for (const UnitItem& item : found->second) {
        const std::string error = applyItem(item, setup);
        if (!error.empty())
            return "unit " + std::to_string(unit) + ": " + error;
        setup.settings.push_back(item.text());
    }
    return {};
}

std::string unitFlashPath(const std::string& flashOut, uint32_t unit)
{
    if (flashOut.empty())
        return {};
    std::string path = flashOut;
    bool replaced = false;
    for (const std::string& mark : {std::string("%d"), std::string("{unit}")})
        for (size_t at = path.find(mark); at != std::string::npos; at = path.find(mark, at)) {
            path.replace(at, mark.size(), std::to_string(unit));
            replaced = true;
        }
    return replaced ? path : path + "." + std::to_string(unit);
}

// The ports of a station (see station_ports.h).
#include "station/station_ports.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "transport/port_discovery.h"
#include "transport/port_open.h"
#include "transport/port_selector.h"

namespace {

// What a selector names, for finding one port given twice: a device by the file it reaches
// (a link and its device, COM1 and /dev/ttyS0 are one), any other selector by its text.
std::string portKey(const std::string& text, const PortSelector& selector)
{
    if (selector.kind != PortSelector::Kind::Device)
        return text;
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::weakly_canonical(portDevicePath(text), ec);
    return ec ? portDevicePath(text) : real.string();
}

}  // namespace

int expandStationPorts(const std::vector<std::string>& given, std::vector<std::string>* selectors,
                       std::string* error)
{
    const std::vector<PortInfo> present = listPorts();
    for (const std::string& text : given) {
        PortSelector selector;
        if (text.empty()) {
            *error = "--ports has an empty item";
            return 64;
        }
        if (!parsePortSelector(text, &selector, error)) {
            *error = "--ports " + *error;
            return 64;
        }
        if (selector.kind == PortSelector::Kind::Auto) {
            *error = "--ports auto names one port; a station takes all-usb, or the ports themselves";
            return 64;
        }
        if (selector.kind != PortSelector::Kind::AllUsb) {
            selectors->push_back(text);
            continue;
        }
        for (const PortInfo& port : usbPorts(present))
            selectors->push_back(uniqueSelector(port, present));
    }
    // The same port twice would be two workers fighting over one line.
    std::vector<std::string> seen;
    for (const std::string& s : *selectors) {
        PortSelector selector;
        std::string ignored;
        parsePortSelector(s, &selector, &ignored);
        const std::string key = portKey(s, selector);
        const auto same = std::find(seen.begin(), seen.end(), key);
        if (same != seen.end()) {
            const std::string& first = (*selectors)[static_cast<size_t>(same - seen.begin())];
            *error = first == s ? "--ports names " + s + " twice"
                                : "--ports names one port twice: " + first + " and " + s;
            return 64;
        }
        seen.push_back(key);
    }
    if (selectors->empty()) {
        *error = "no port to flash on: --ports named none, or all-usb found no USB serial port";
        return 10;
    }
    return 0;
}

bool somePortOpens(const std::vector<std::string>& selectors, std::string* why)
{
    why->clear();
    for (const std::string& text : selectors) {
        PortSelector selector;
        std::string error;
        parsePortSelector(text, &selector, &error);
        const PortChoice choice = chooseOnePort(selector, portsToMatch(selector));
        std::string reason;
        if (!choice.found)
            reason = choice.error;
        else if (probeSerialPort(choice.device, &reason))
            return true;
        *why += "  " + text + ": " + reason + "\n";
    }
    return false;
}

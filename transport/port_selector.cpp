// Matching port selectors against the ports found (see port_selector.h).
#include "transport/port_selector.h"

#include <cctype>
#include <cstdio>

#include "transport/port_open.h"

namespace {

const char kUsbPrefix[] = "usb:";
const char kUsbPathPrefix[] = "usb-path:";

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// One to four hex digits.
bool parseHexId(const std::string& text, uint16_t* id)
{
    if (text.empty() || text.size() > 4)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    *id = static_cast<uint16_t>(value);
    return true;
}

std::string hexId(uint16_t id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

bool parseUsb(const std::string& text, PortSelector* selector, std::string* error)
{
    const std::string rest = text.substr(std::char_traits<char>::length(kUsbPrefix));
    const size_t first = rest.find(':');
    const size_t second = first == std::string::npos ? first : rest.find(':', first + 1);
    const std::string vendor = rest.substr(0, first);
    const std::string product = first == std::string::npos ? "" : rest.substr(first + 1, second - first - 1);
    if (!parseHexId(vendor, &selector->vendorId) || !parseHexId(product, &selector->productId)) {
        *error = text + ": expected usb:VVVV:PPPP or usb:VVVV:PPPP:SERIAL (vendor and product id in hex)";
        return false;
    }
    if (second != std::string::npos) {
        selector->hasSerial = true;
        selector->serial = rest.substr(second + 1);
        if (selector->serial.empty()) {
            *error = text + ": the serial number after the product id is empty";
            return false;
        }
    }
    selector->kind = PortSelector::Kind::Usb;
    return true;
}

bool sameDevice(const std::string& name, const PortInfo& port)
{
    if (portDevicePath(name) == portDevicePath(port.device) && !portDevicePath(name).empty())
        return true;
    for (const std::string& stable : port.stableNames) {
        if (stable == name)
            return true;
    }
    return false;
}

bool matches(const PortSelector& selector, const PortInfo& port)
{
    switch (selector.kind) {
    case PortSelector::Kind::Device: return sameDevice(selector.text, port);
    case PortSelector::Kind::Usb:
        return port.hasUsbId && port.vendorId == selector.vendorId && port.productId == selector.productId &&
               (!selector.hasSerial || port.serialNumber == selector.serial);
    case PortSelector::Kind::UsbPath:
        return port.kind == PortKind::Usb && !port.location.empty() &&
               (port.location == selector.location || port.location + ":" + port.usbInterface == selector.location);
    case PortSelector::Kind::Auto:
    case PortSelector::Kind::AllUsb: return port.kind == PortKind::Usb;
    }
    return false;
}

// The candidates, one a line, each with the selector that names it alone.
std::string candidateLines(const std::vector<PortInfo>& candidates, const std::vector<PortInfo>& ports)
{
    std::string lines;
    for (const PortInfo& port : candidates) {
        const std::string selector = uniqueSelector(port, ports);
        lines += "\n  " + (selector == port.device ? portSummary(port) : selector + "   (" + portSummary(port) + ")");
    }
    return lines;
}

std::string nothingMatched(const PortSelector& selector, const std::vector<PortInfo>& ports)
{
    const std::vector<PortInfo> usb = usbPorts(ports);
    if (selector.kind == PortSelector::Kind::Auto) {
        std::string text = "auto: no USB serial port is present";
        if (!ports.empty())
            text += "; the serial ports present, to name one:" + candidateLines(ports, ports);
        return text;
    }
    std::string text = selector.text + " matches no serial port";
    if (usb.empty())
        return text + " (no USB serial port is present)";
    return text + "; the USB serial ports present:" + candidateLines(usb, ports);
}

std::string tooMany(const PortSelector& selector, const std::vector<PortInfo>& found, const std::vector<PortInfo>& ports)
{
    const std::string count = std::to_string(found.size());
    const std::string head = selector.kind == PortSelector::Kind::Auto
                                 ? "auto: " + count + " USB serial ports are present"
                                 : selector.text + " matches " + count + " serial ports";
    return head + "; name one:" + candidateLines(found, ports);
}

}  // namespace

bool parsePortSelector(const std::string& text, PortSelector* selector, std::string* error)
{
    *selector = PortSelector();
    selector->text = text;
    if (text.empty()) {
        *error = "no port given";
        return false;
    }
    if (text == "auto") {
        selector->kind = PortSelector::Kind::Auto;
        return true;
    }
    if (text == "all-usb") {
        selector->kind = PortSelector::Kind::AllUsb;
        return true;
    }
    if (startsWith(text, kUsbPrefix))
        return parseUsb(text, selector, error);
    if (startsWith(text, kUsbPathPrefix)) {
        selector->kind = PortSelector::Kind::UsbPath;
        selector->location = text.substr(std::char_traits<char>::length(kUsbPathPrefix));
        if (selector->location.empty()) {
            *error = text + ": expected usb-path:LOCATION, the hub path `tarvolo ports` shows (1-1.4.2)";
            return false;
        }
        return true;
    }
    return true;  // a device name
}

std::vector<PortInfo> selectPorts(const PortSelector& selector, const std::vector<PortInfo>& ports)
{
    std::vector<PortInfo> found;
    for (const PortInfo& port : ports) {
        if (matches(selector, port))
            found.push_back(port);
    }
    if (selector.kind == PortSelector::Kind::Device && found.empty()) {
        PortInfo unlisted;
        unlisted.device = selector.text;
        unlisted.description = "Serial port";
        found.push_back(unlisted);
    }
    return found;
}

std::vector<PortInfo> usbPorts(const std::vector<PortInfo>& ports)
{
    PortSelector all;
    all.kind = PortSelector::Kind::AllUsb;
    return selectPorts(all, ports);
}

PortChoice chooseOnePort(const PortSelector& selector, const std::vector<PortInfo>& ports)
{
    PortChoice choice;
    if (selector.kind == PortSelector::Kind::Device) {
        // Opened by the name given, so that messages speak of it as the operator did.
        choice.found = true;
        choice.device = selector.text;
        return choice;
    }
    const std::vector<PortInfo> found = selectPorts(selector, ports);
    if (found.size() == 1) {
        choice.found = true;
        choice.device = found.front().device;
    } else {
        choice.error = found.empty() ? nothingMatched(selector, ports) : tooMany(selector, found, ports);
    }
    return choice;
}

std::vector<PortInfo> portsToMatch(const PortSelector& selector)
{
    return selector.kind == PortSelector::Kind::Device ? std::vector<PortInfo>() : listPorts();
}

bool selectorPresent(const PortSelector& selector, const std::vector<PortInfo>& ports)
{
    if (selector.kind == PortSelector::Kind::Device)
        return portPresent(selector.text);
    return !selectPorts(selector, ports).empty();
}

std::string uniqueSelector(const PortInfo& port, const std::vector<PortInfo>& ports)
{
    if (port.kind != PortKind::Usb)
        return port.device;
    std::vector<std::string> candidates;
    const std::string ids = std::string(kUsbPrefix) + hexId(port.vendorId) + ":" + hexId(port.productId);
    if (port.hasUsbId && !port.serialNumber.empty())
        candidates.push_back(ids + ":" + port.serialNumber);
    if (!port.location.empty()) {
        candidates.push_back(kUsbPathPrefix + port.location);
        if (!port.usbInterface.empty())
            candidates.push_back(kUsbPathPrefix + port.location + ":" + port.usbInterface);
    }
    if (port.hasUsbId)
        candidates.push_back(ids);
    for (const std::string& text : candidates) {
        PortSelector selector;
        std::string error;
        if (!parsePortSelector(text, &selector, &error))
            continue;
        const std::vector<PortInfo> found = selectPorts(selector, ports);
        if (found.size() == 1 && found.front().device == port.device)
            return text;
    }
    return port.device;
}

std::string portSummary(const PortInfo& port)
{
    std::string text = port.device + ": " + port.description;
    if (port.hasUsbId)
        text += ", " + hexId(port.vendorId) + ":" + hexId(port.productId);
    if (!port.serialNumber.empty())
        text += ", serial " + port.serialNumber;
    if (!port.location.empty())
        text += ", at " + port.location;
    return text;
}

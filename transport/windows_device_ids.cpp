// Windows device instance ids and location paths as USB identities (see windows_device_ids.h).
#include "transport/windows_device_ids.h"

#include <cctype>
#include <cstdlib>

namespace {

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The hex number of `digits` digits after `key` ("VID_" in "USB\VID_0403&..."); -1 when absent.
long hexAfter(const std::string& id, const char* key, size_t digits)
{
    const size_t at = upper(id).find(key);
    if (at == std::string::npos)
        return -1;
    const std::string hex = id.substr(at + std::char_traits<char>::length(key), digits);
    if (hex.size() != digits)
        return -1;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return -1;
    }
    return std::strtol(hex.c_str(), nullptr, 16);
}

std::string lastSegment(const std::string& id)
{
    const size_t slash = id.find_last_of('\\');
    return slash == std::string::npos ? std::string() : id.substr(slash + 1);
}

// A USB device's own instance id (not an interface's) names its serial number last, unless
// Windows made that part up because the device has none.
bool serialFromUsbDevice(const std::string& id, std::string* serial)
{
    if (!startsWith(upper(id), "USB\\") || upper(id).find("&MI_") != std::string::npos)
        return false;
    const std::string last = lastSegment(id);
    if (last.empty() || last.find('&') != std::string::npos)
        return false;
    *serial = last;
    return true;
}

// "FTDIBUS\VID_0403+PID_6001+A1B2C3A\0000": the serial number with the channel letter.
void readFtdiBus(const std::string& id, UsbIdentity* usb)
{
    const size_t first = id.find('+');
    const size_t second = first == std::string::npos ? first : id.find('+', first + 1);
    if (second == std::string::npos)
        return;
    const size_t end = id.find('\\', second);
    const std::string serialAndChannel = id.substr(second + 1, end == std::string::npos ? end : end - second - 1);
    if (serialAndChannel.size() < 2)
        return;
    const char channel = serialAndChannel.back();
    if (channel >= 'A' && channel <= 'H') {
        if (usb->serialNumber.empty())
            usb->serialNumber = serialAndChannel.substr(0, serialAndChannel.size() - 1);
        usb->usbInterface = "1." + std::to_string(channel - 'A');
    }
}

}  // namespace

UsbIdentity usbIdentityFromIds(const std::string& instanceId, const std::string& parentId)
{
    UsbIdentity usb;
    const long vendor = hexAfter(instanceId, "VID_", 4);
    const long product = hexAfter(instanceId, "PID_", 4);
    if (vendor < 0 || product < 0)
        return usb;
    usb.hasUsbId = true;
    usb.vendorId = static_cast<uint16_t>(vendor);
    usb.productId = static_cast<uint16_t>(product);
    const long interface = hexAfter(instanceId, "&MI_", 2);
    if (interface >= 0)
        usb.usbInterface = "1." + std::to_string(interface);
    if (!serialFromUsbDevice(instanceId, &usb.serialNumber))
        serialFromUsbDevice(parentId, &usb.serialNumber);
    if (startsWith(upper(instanceId), "FTDIBUS\\"))
        readFtdiBus(instanceId, &usb);
    return usb;
}

std::string usbLocationFromPath(const std::string& locationPath)
{
    const std::string path = upper(locationPath);
    const size_t root = path.find("USBROOT(");
    if (root == std::string::npos)
        return {};
    std::string location = std::to_string(std::atoi(path.c_str() + root + 8) + 1) + "-";
    bool first = true;
    for (size_t at = path.find("#USB(", root); at != std::string::npos; at = path.find("#USB(", at + 1)) {
        location += (first ? "" : ".") + std::to_string(std::atoi(path.c_str() + at + 5));
        first = false;
    }
    return first ? std::string() : location;
}

AdapterRegistryFacts adapterFactsFromRegistry(const DeviceRegistry& registry, const std::string& instanceId)
{
    AdapterRegistryFacts facts;
    if (instanceId.empty())
        return facts;
    const std::string key = "SYSTEM\\CurrentControlSet\\Enum\\" + instanceId;
    facts.driver = registry.text(key, "Service");
    const std::optional<uint32_t> timer = registry.dword(key + "\\Device Parameters", "LatencyTimer");
    if (timer && *timer <= 255)  // the chip's timer is one byte
        facts.latencyTimerMs = static_cast<int>(*timer);
    return facts;
}

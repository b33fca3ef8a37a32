// Serial ports on Linux, read from sysfs (see port_discovery.h and port_discovery_linux.h).
//
// Every tty the kernel knows is a folder of /sys/class/tty. A serial port is one with a
// `device` link to the hardware serving it; virtual consoles, ptys and the console have none.
// From that device the walk goes up the device tree: the first folder with a bInterfaceNumber
// is the USB interface, the first with an idVendor the USB device (whose folder name is its hub
// path, "1-1.4.2"), and the first that is not one of the serial core's own port devices (bus
// serial-base, kernels from 6.5) is the hardware: a usb-serial port, a PCI function, an
// ACPI/PnP or platform device.
//
// Legacy placeholders are left out. The 8250 driver registers ttyS0..ttyS3 (or nr_uarts of
// them) whether or not a UART answers at the legacy addresses. The serial core's `type`
// attribute of such a tty holds the UART type it found, the value TIOCGSERIAL reports, without
// opening the port: 0 (PORT_UNKNOWN) means none answered. Where the attribute is missing (old
// kernels), a tty whose hardware is the serial8250 platform device itself is taken as a
// placeholder: real UARTs are found by ACPI/PnP or PCI and hang off their own device. All
// other ports, onboard, PCI, SoC and USB, are kept.
//
// udev's /dev/serial/by-id and by-path links are reported when they exist; nothing else
// depends on udev.
//
// A usb-serial driver with a latency timer (ftdi_sio) shows it as the `latency_timer`
// attribute of its usb-serial port device, the hardware of the walk.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>

#include "output/shown_text.h"
#include "transport/port_discovery_linux.h"
#include "transport/port_open.h"

namespace {

std::string baseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

// A sysfs attribute's text without its line end; empty when there is none.
std::string readAttribute(const std::string& path)
{
    std::ifstream in(path);
    std::string text;
    if (!in || !std::getline(in, text))
        return {};
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

// A string the adapter itself reports (its USB descriptors): by the rule for bytes from
// outside, whatever the adapter put there.
std::string adapterString(const std::string& path) { return shownBytes(readAttribute(path)); }

std::string linkTarget(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// The name a link such as `driver` or `subsystem` points at ("ftdi_sio", "usb").
std::string linkName(const std::string& path) { return baseName(linkTarget(path)); }

bool isFile(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string realPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::vector<std::string> entriesOf(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end(), portNameLess);
    return names;
}

// What the walk up from a tty's device finds (folders as full paths, empty when absent).
struct DeviceChain {
    std::string hardware;      // the first device that is not a serial-core port device
    std::string driver;        // that device's driver
    std::string usbInterface;
    std::string usbDevice;
};

DeviceChain walkUp(const std::string& device, const std::string& devicesRoot)
{
    DeviceChain chain;
    for (std::string dir = device; dir.size() > devicesRoot.size() && dir.compare(0, devicesRoot.size(), devicesRoot) == 0;
         dir = parentOf(dir)) {
        if (chain.hardware.empty() && linkName(dir + "/subsystem") != "serial-base") {
            chain.hardware = dir;
            chain.driver = linkName(dir + "/driver");
        }
        if (chain.usbInterface.empty() && isFile(dir + "/bInterfaceNumber"))
            chain.usbInterface = dir;
        if (isFile(dir + "/idVendor")) {
            chain.usbDevice = dir;
            break;
        }
    }
    return chain;
}

bool legacyPlaceholder(const std::string& ttyFolder, const DeviceChain& chain)
{
    const std::string type = readAttribute(ttyFolder + "/type");
    if (!type.empty())
        return type == "0";
    return chain.driver == "serial8250" && baseName(chain.hardware) == "serial8250";
}

// The timer in milliseconds; none when the attribute is missing or not a number.
std::optional<int> latencyTimer(const std::string& hardware)
{
    const std::string text = readAttribute(hardware + "/latency_timer");
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 255)
        return std::nullopt;
    return static_cast<int>(value);
}

uint16_t hexId(const std::string& text) { return static_cast<uint16_t>(std::strtoul(text.c_str(), nullptr, 16)); }

void describeUsb(const DeviceChain& chain, PortInfo* port)
{
    const std::string& usb = chain.usbDevice;
    port->kind = PortKind::Usb;
    port->hasUsbId = true;
    port->vendorId = hexId(readAttribute(usb + "/idVendor"));
    port->productId = hexId(readAttribute(usb + "/idProduct"));
    port->serialNumber = adapterString(usb + "/serial");
    port->manufacturer = adapterString(usb + "/manufacturer");
    port->product = adapterString(usb + "/product");
    port->location = baseName(usb);
    port->latencyTimerMs = latencyTimer(chain.hardware);
    if (!chain.usbInterface.empty()) {
        const std::string name = baseName(chain.usbInterface);  // "1-1.4.2:1.0"
        port->usbInterface = name.substr(name.find(':') + 1);
    }
    const std::string interfaceText = chain.usbInterface.empty() ? "" : adapterString(chain.usbInterface + "/interface");
    port->description = !port->product.empty() ? port->product
                        : !interfaceText.empty() ? interfaceText
                        : "USB serial port";
}

// "ttyS0".."ttyS3" are what COM1..COM4 open.
std::string comAlias(const std::string& ttyName)
{
    if (ttyName.size() == 5 && ttyName.compare(0, 4, "ttyS") == 0 && ttyName[4] >= '0' && ttyName[4] <= '3')
        return std::string(" (COM") + static_cast<char>(ttyName[4] + 1) + ")";
    return {};
}

void describeHardware(const std::string& ttyName, const DeviceChain& chain, PortInfo* port)
{
    const std::string subsystem = linkName(chain.hardware + "/subsystem");
    if (subsystem == "pci") {
        port->kind = PortKind::Pci;
        port->location = baseName(chain.hardware);
        port->description = "PCI serial port";
    } else if (subsystem == "pnp" || subsystem == "platform" || subsystem == "acpi" || subsystem == "amba") {
        port->kind = PortKind::Builtin;
        port->description = "Built-in serial port" + comAlias(ttyName);
    } else {
        port->description = "Serial port";
    }
}

// udev's links by the tty they lead to: {"ttyUSB0": ["/dev/serial/by-id/usb-FTDI_...", ...]}.
std::map<std::string, std::vector<std::string>> udevNames(const std::string& devRoot)
{
    std::map<std::string, std::vector<std::string>> names;
    for (const char* folder : {"/serial/by-id", "/serial/by-path"}) {
        const std::string dir = devRoot + folder;
        for (const std::string& entry : entriesOf(dir)) {
            const std::string target = linkTarget(dir + "/" + entry);
            if (!target.empty())
                names[baseName(target)].push_back(dir + "/" + entry);
        }
    }
    return names;
}

}  // namespace

std::vector<PortInfo> listPorts(const std::string& sysRoot, const std::string& devRoot)
{
    std::vector<PortInfo> ports;
    const std::string devicesRoot = realPath(sysRoot + "/devices");
    if (devicesRoot.empty())
        return ports;
    const auto stable = udevNames(devRoot);
    const std::string classFolder = sysRoot + "/class/tty";
    for (const std::string& name : entriesOf(classFolder)) {
        const std::string ttyFolder = classFolder + "/" + name;
        const std::string device = realPath(ttyFolder + "/device");
        if (device.empty())
            continue;
        const DeviceChain chain = walkUp(device, devicesRoot);
        if (legacyPlaceholder(ttyFolder, chain))
            continue;
        PortInfo port;
        std::string nodeName = name;
        std::replace(nodeName.begin(), nodeName.end(), '!', '/');  // "tty!x" is /dev/tty/x
        port.device = devRoot + "/" + nodeName;
        port.driver = chain.driver;
        if (!chain.usbDevice.empty())
            describeUsb(chain, &port);
        else
            describeHardware(name, chain, &port);
        const auto links = stable.find(baseName(nodeName));
        if (links != stable.end())
            port.stableNames = links->second;
        ports.push_back(port);
    }
    return ports;
}

std::vector<PortInfo> listPorts() { return listPorts("/sys", "/dev"); }

namespace {

// Tarvolo's udev rule sets every adapter's timer to 1 ms as it appears, from where the package
// puts it (Debian 12 has /lib in /usr) or where an administrator copied it.
bool latencyRuleInstalled()
{
    for (const char* dir : {"/usr/lib/udev/rules.d", "/lib/udev/rules.d", "/etc/udev/rules.d"}) {
        if (access((std::string(dir) + "/60-tarvolo.rules").c_str(), F_OK) == 0)
            return true;
    }
    return false;
}

}  // namespace

const char* latencyTimerFix()
{
    if (latencyRuleInstalled())
        return "unplug the adapter and plug it in again: Tarvolo's udev rule 60-tarvolo.rules sets the timer as "
               "an adapter appears (for every adapter plugged in now: sudo udevadm trigger "
               "--subsystem-match=usb-serial --action=add)";
    return "install Tarvolo's udev rule 60-tarvolo.rules (the Debian package does; from the source tree, copy "
           "packaging/udev/60-tarvolo.rules into /etc/udev/rules.d), then unplug the adapter and plug it in again";
}

bool portPresent(const std::string& name)
{
    struct stat info;
    return stat(portDevicePath(name).c_str(), &info) == 0;
}

bool portAccessible(const std::string& name) { return access(portDevicePath(name).c_str(), R_OK | W_OK) == 0; }

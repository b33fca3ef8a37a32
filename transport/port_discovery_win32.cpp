// Serial ports on Windows (see port_discovery.h).
//
// Every COM port present, COM1 to COM256, from three sources merged by port number:
//  - HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, where each serial driver enters the COM ports it
//    creates ("\Device\VCP0" = "COM12"), and removes them when the device goes;
//  - the DOS device names (QueryDosDevice), for drivers that create a COMn name without that
//    entry. Wine enters the ports mapped in HKLM\Software\Wine\Ports in SERIALCOMM too;
//  - SetupAPI's devices of the Ports and Modem classes (a handset often presents itself as a
//    modem): friendly name, manufacturer, driver, and from the device instance ids the USB
//    vendor and product id, serial number and interface, from the location path the hub path.
//    Wine has no such devices: its ports are listed with what the first two sources say.
// A USB adapter's latency timer is its driver's setting in the device's registry key
// (windows_device_ids.h reads it; FTDI's driver keeps LatencyTimer there).
#include <initguid.h>
#include <windows.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>

#include <cstdlib>
#include <map>

#include "transport/port_discovery.h"
#include "transport/windows_device_ids.h"

namespace {

constexpr int kHighestComPort = 256;

using PortsByNumber = std::map<int, PortInfo>;

// 12 for "COM12" (any case), 0 for anything else.
int comNumber(const std::string& name)
{
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0)
        return 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
    }
    const int number = std::atoi(name.c_str() + 3);
    return number >= 1 && number <= kHighestComPort ? number : 0;
}

// The port's entry, made with what is known of every port when it is new.
PortInfo& entryFor(PortsByNumber& ports, int number, const std::string& kernelName)
{
    PortInfo& port = ports[number];
    if (port.device.empty()) {
        port.device = "COM" + std::to_string(number);
        // Of what it is only SetupAPI tells: Wine names every port it maps "\Device\SerialN",
        // the name Windows gives onboard UARTs.
        port.kind = PortKind::Other;
        port.description = kernelName.empty() ? "Serial port" : "Serial port " + kernelName;
    }
    return port;
}

void readSerialComm(PortsByNumber& ports)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
        const LONG status = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            break;
        if (type != REG_SZ)
            continue;
        data[dataSize] = 0;
        const int number = comNumber(reinterpret_cast<const char*>(data));
        if (number)
            entryFor(ports, number, name);
    }
    RegCloseKey(key);
}

void readDosDevices(PortsByNumber& ports)
{
    std::string names(64 * 1024, '\0');
    DWORD length = 0;
    while ((length = QueryDosDeviceA(nullptr, &names[0], static_cast<DWORD>(names.size()))) == 0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 24))
        names.resize(names.size() * 2);
    for (size_t at = 0; at < length && names[at];) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        const int number = comNumber(name);
        if (!number || ports.count(number))
            continue;
        char target[512] = "";
        QueryDosDeviceA(name.c_str(), target, sizeof target);
        entryFor(ports, number, target);
    }
}

std::string registryText(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property)
{
    char text[1024] = "";
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, &type, reinterpret_cast<BYTE*>(text),
                                           sizeof text - 1, nullptr))
        return {};
    return text;  // the first string of a multi-string list
}

std::string portNameOf(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    char name[64] = "";
    DWORD size = sizeof name - 1, type = 0;
    const bool read = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
                      ERROR_SUCCESS;
    RegCloseKey(key);
    return read && type == REG_SZ ? std::string(name) : std::string();
}

std::string instanceIdOf(DEVINST instance)
{
    char id[MAX_DEVICE_ID_LEN + 1] = "";
    return CM_Get_Device_IDA(instance, id, sizeof id, 0) == CR_SUCCESS ? std::string(id) : std::string();
}

// The machine's own registry, read-only.
class SystemRegistry : public DeviceRegistry {
public:
    std::optional<uint32_t> dword(const std::string& key, const std::string& name) const override
    {
        DWORD value = 0, size = sizeof value;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &value,
                         &size) != ERROR_SUCCESS)
            return std::nullopt;
        return value;
    }
    std::string text(const std::string& key, const std::string& name) const override
    {
        char value[256] = "";
        DWORD size = sizeof value - 1;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, value, &size) !=
            ERROR_SUCCESS)
            return {};
        return value;
    }
};

// The product string the device itself reports over USB (Windows 7 and later).
std::string busReportedName(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    WCHAR wide[256] = L"";
    DEVPROPTYPE type = 0;
    if (!SetupDiGetDevicePropertyW(set, device, &DEVPKEY_Device_BusReportedDeviceDesc, &type,
                                   reinterpret_cast<BYTE*>(wide), sizeof wide - sizeof(WCHAR), nullptr, 0) ||
        type != DEVPROP_TYPE_STRING)
        return {};
    char text[512] = "";
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text - 1, nullptr, nullptr);
    return text;
}

// The hub path from the device's location path, else from its parent's (FTDI's bus devices
// and composite interfaces have theirs on the USB device).
std::string usbLocation(HDEVINFO set, SP_DEVINFO_DATA* device, DEVINST parent)
{
    std::string location = usbLocationFromPath(registryText(set, device, SPDRP_LOCATION_PATHS));
    if (location.empty() && parent) {
        char path[1024] = "";
        ULONG size = sizeof path - 1;
        if (CM_Get_DevNode_Registry_PropertyA(parent, CM_DRP_LOCATION_PATHS, nullptr, path, &size, 0) == CR_SUCCESS)
            location = usbLocationFromPath(path);
    }
    return location;
}

// "USB Serial Port (COM12)" without the port's own name.
std::string withoutPortName(const std::string& friendly, const std::string& device)
{
    const std::string suffix = " (" + device + ")";
    if (friendly.size() > suffix.size() && friendly.compare(friendly.size() - suffix.size(), suffix.size(), suffix) == 0)
        return friendly.substr(0, friendly.size() - suffix.size());
    return friendly;
}

void describeDevice(HDEVINFO set, SP_DEVINFO_DATA* device, PortInfo* port)
{
    const std::string friendly = registryText(set, device, SPDRP_FRIENDLYNAME);
    if (!friendly.empty())
        port->description = withoutPortName(friendly, port->device);
    port->manufacturer = registryText(set, device, SPDRP_MFG);
    port->driver = registryText(set, device, SPDRP_SERVICE);
    const std::string instance = instanceIdOf(device->DevInst);
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, device->DevInst, 0) != CR_SUCCESS)
        parent = 0;
    const UsbIdentity usb = usbIdentityFromIds(instance, parent ? instanceIdOf(parent) : "");
    if (usb.hasUsbId) {
        const AdapterRegistryFacts facts = adapterFactsFromRegistry(SystemRegistry(), instance);
        if (port->driver.empty())
            port->driver = facts.driver;
        port->latencyTimerMs = facts.latencyTimerMs;
        port->kind = PortKind::Usb;
        port->hasUsbId = true;
        port->vendorId = usb.vendorId;
        port->productId = usb.productId;
        port->serialNumber = usb.serialNumber;
        port->usbInterface = usb.usbInterface;
        port->product = busReportedName(set, device);
        port->location = usbLocation(set, device, parent);
    } else if (instance.rfind("PCI\\", 0) == 0) {
        port->kind = PortKind::Pci;
        port->location = registryText(set, device, SPDRP_LOCATION_INFORMATION);
    } else if (instance.rfind("ACPI\\", 0) == 0) {
        port->kind = PortKind::Builtin;
    }
}

void readSetupApi(PortsByNumber& ports, const GUID& deviceClass)
{
    HDEVINFO set = SetupDiGetClassDevsA(&deviceClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        const int number = comNumber(portNameOf(set, &device));
        if (number)
            describeDevice(set, &device, &entryFor(ports, number, ""));
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

std::vector<PortInfo> listPorts()
{
    PortsByNumber byNumber;
    readSerialComm(byNumber);
    readDosDevices(byNumber);
    readSetupApi(byNumber, GUID_DEVCLASS_PORTS);
    readSetupApi(byNumber, GUID_DEVCLASS_MODEM);
    std::vector<PortInfo> ports;
    for (const auto& entry : byNumber)
        ports.push_back(entry.second);
    return ports;
}

bool portPresent(const std::string& name)
{
    const int number = comNumber(name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name);
    if (!number)
        return false;
    char target[512];
    const std::string bare = "COM" + std::to_string(number);
    return QueryDosDeviceA(bare.c_str(), target, sizeof target) != 0;
}

bool portAccessible(const std::string&) { return true; }

const char* latencyTimerFix()
{
    return "set the port's Latency Timer to 1 ms (Device Manager, the port's Properties, Port Settings, "
           "Advanced: the FTDI driver's LatencyTimer)";
}

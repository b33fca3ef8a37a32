// Reading a USB serial port's identity out of the strings Windows keeps for its devices.
// Portable text handling, so that it is tested natively; port_discovery_win32.cpp feeds it.
#ifndef TARVOLO_TRANSPORT_WINDOWS_DEVICE_IDS_H
#define TARVOLO_TRANSPORT_WINDOWS_DEVICE_IDS_H

#include <cstdint>
#include <optional>
#include <string>

struct UsbIdentity {
    bool hasUsbId = false;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serialNumber;  // empty when Windows made the instance id up (it holds '&')
    std::string usbInterface;  // "1.N" for a composite device's interface N, else empty
};

// From a port's device instance id and its parent's (may be empty):
//   USB\VID_0403&PID_6001\A1B2C3                       the device itself, serial A1B2C3
//   USB\VID_1A86&PID_7523\5&2F7B2B3C&0&2               no serial number
//   USB\VID_0483&PID_5740&MI_00\6&1B8F0A7&0&0000       interface 0, serial from the parent
//   FTDIBUS\VID_0403+PID_6001+A1B2C3A\0000             FTDI's bus: serial and channel letter
UsbIdentity usbIdentityFromIds(const std::string& instanceId, const std::string& parentId);

// The hub path of a USB device from its location path:
// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)#USB(2)" is "1-1.4.2" (root hub 0 is bus 1,
// then the port number at each hub). Empty when the path has no USB part.
std::string usbLocationFromPath(const std::string& locationPath);

// The registry as the adapter facts are read from it: values of keys under
// HKEY_LOCAL_MACHINE, by path. The Windows discovery reads the real one; tests a fixture.
class DeviceRegistry {
public:
    virtual ~DeviceRegistry() = default;
    // A REG_DWORD value; none when the key or the value is missing or of another type.
    virtual std::optional<uint32_t> dword(const std::string& key, const std::string& name) const = 0;
    // A REG_SZ value; empty when missing.
    virtual std::string text(const std::string& key, const std::string& name) const = 0;
};

struct AdapterRegistryFacts {
    std::string driver;                 // the device's Service: "FTDIBUS", "CH341SER_A64", "usbser"
    std::optional<int> latencyTimerMs;  // FTDI's driver only
};

// From the device's key SYSTEM\CurrentControlSet\Enum\<instanceId>: its Service, and the
// LatencyTimer (milliseconds) that FTDI's driver keeps under its "Device Parameters".
AdapterRegistryFacts adapterFactsFromRegistry(const DeviceRegistry& registry, const std::string& instanceId);

#endif

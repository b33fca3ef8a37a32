// Finding the machine's serial ports by what they are rather than by the name the system gave
// them in plugging order: a USB adapter's identity (vendor and product id, serial number), the
// socket it is plugged into (its hub path), or a built-in or PCI UART.
//
// One implementation file per platform: port_discovery_linux.cpp reads sysfs (with or without
// udev), port_discovery_win32.cpp the registry's map of serial devices and SetupAPI. Choosing
// among the result is port_selector.h's business. Nothing is kept between calls; any thread.
#ifndef TARVOLO_TRANSPORT_PORT_DISCOVERY_H
#define TARVOLO_TRANSPORT_PORT_DISCOVERY_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class PortKind {
    Usb,      // a USB adapter or a USB device with a serial interface (CDC-ACM)
    Pci,      // a UART on a PCI or PCI Express card
    Builtin,  // an onboard UART (ACPI/PnP, a SoC's platform UART)
    Other,    // what the system does not say (a virtual port, a mapped port under Wine)
};

struct PortInfo {
    std::string device;          // what to open: /dev/ttyUSB0, COM12
    PortKind kind = PortKind::Other;
    std::string description;     // one line for people: "FT232R USB UART", "Built-in serial port (COM1)"
    bool hasUsbId = false;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serialNumber;    // empty when the device reports none
    std::string manufacturer;
    std::string product;
    std::string location;        // the physical socket: a USB hub path "1-1.4.2", a PCI address
    std::string usbInterface;    // configuration.interface of a USB port, "1.0"; empty otherwise
    std::string driver;          // the driver serving the port, where the system says
    std::optional<int> latencyTimerMs;  // a USB adapter's latency timer, where its driver has one
    std::vector<std::string> stableNames;  // names that survive replugging (udev's by-id, by-path)
};

// Above this, a USB adapter holds every short reply back (the latency timer runs out first).
constexpr int kLowestLatencyTimerMs = 1;

// The one-line fix for an adapter whose latency timer is above 1 ms, on this platform: the
// udev rule, or the Windows driver's setting.
const char* latencyTimerFix();

// "usb", "pci", "builtin", "other".
const char* portKindName(PortKind kind);

// Natural order of device names: ttyS2 before ttyS10, COM9 before COM12.
bool portNameLess(const std::string& a, const std::string& b);

// The serial ports present now, in a stable order (natural order of their device names).
std::vector<PortInfo> listPorts();

// Whether a port of this name exists now: a device path (or POSIX's COM1..COM4) that is there,
// a Windows COM port the system knows. Says nothing about whether it can be opened.
bool portPresent(const std::string& name);

// Whether this process may open the port's device: on POSIX read and write permission (a node
// just created gets its group and mode from udev a moment later); always on Windows. Nothing is
// opened, so nothing reaches the line (opening a port raises DTR).
bool portAccessible(const std::string& name);

#endif

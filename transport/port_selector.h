// Naming a port by what it is, as --port and a station's list of ports take it:
//
//   /dev/ttyUSB0, COM12          the device itself (POSIX: COM1..COM4 are /dev/ttyS0..3)
//   usb:VVVV:PPPP                the USB serial port with these vendor and product ids (hex)
//   usb:VVVV:PPPP:SERIAL         ... and this serial number, exactly as the device reports it
//   usb-path:LOCATION            whatever is plugged into this socket: the hub path "1-1.4.2"
//                                (every interface), or "1-1.4.2:1.1" for one interface
//   auto                         the only USB serial port present
//   all-usb                      every USB serial port present (a station's choice)
//
// Portable matching against a list of ports; the platform is asked only through
// portsToMatch (the machine's listing, for every selector but a device name) and portPresent
// (whether a named device exists). Any thread; nothing is kept between calls.
#ifndef TARVOLO_TRANSPORT_PORT_SELECTOR_H
#define TARVOLO_TRANSPORT_PORT_SELECTOR_H

#include <cstdint>
#include <string>
#include <vector>

#include "transport/port_discovery.h"

struct PortSelector {
    enum class Kind { Device, Usb, UsbPath, Auto, AllUsb };
    Kind kind = Kind::Device;
    std::string text;          // as given
    uint16_t vendorId = 0;     // Usb
    uint16_t productId = 0;
    bool hasSerial = false;
    std::string serial;
    std::string location;      // UsbPath: "1-1.4.2" or "1-1.4.2:1.1"
};

// Parses a selector; anything not in one of the selector forms is a device name. False with a
// one-line reason in *error when a selector form is malformed ("usb:0403" lacks the product).
bool parsePortSelector(const std::string& text, PortSelector* selector, std::string* error);

// The listed ports the selector names. A device name matches the port of that device or stable
// name; one that is not listed is still returned, as a port of unknown kind, for the open to
// judge.
std::vector<PortInfo> selectPorts(const PortSelector& selector, const std::vector<PortInfo>& ports);

// Every USB serial port of the list (what `all-usb` selects).
std::vector<PortInfo> usbPorts(const std::vector<PortInfo>& ports);

struct PortChoice {
    bool found = false;
    std::string device;   // what to open, when found
    std::string error;    // otherwise: what was found instead and how to name one (several lines)
};

// The one device the selector names. Matching nothing or more than one port is an error whose
// text lists the candidates, each with a selector that names it alone.
PortChoice chooseOnePort(const PortSelector& selector, const std::vector<PortInfo>& ports);

// The ports to match the selector against now: none for a device name (it names its device
// itself), the machine's listing for every other selector.
std::vector<PortInfo> portsToMatch(const PortSelector& selector);

// Whether what the selector names is there now: a device name's device exists, another
// selector matches a listed port.
bool selectorPresent(const PortSelector& selector, const std::vector<PortInfo>& ports);

// The most lasting selector that names this port alone among `ports`: usb:VVVV:PPPP:SERIAL
// (follows the adapter to any socket), usb-path:LOCATION, usb-path:LOCATION:INTERFACE (the
// socket, whatever adapter is in it), usb:VVVV:PPPP, else the device.
std::string uniqueSelector(const PortInfo& port, const std::vector<PortInfo>& ports);

// A port in a line for people: "/dev/ttyUSB0: FT232R USB UART, 0403:6001, serial A1B2C3, at 1-1.4.2".
std::string portSummary(const PortInfo& port);

#endif

// Port discovery on fixture machines modelled on real sysfs trees: which ttys are serial ports
// (legacy 8250 slots with nothing behind them left out, real UARTs kept) and what each is.
#include <gtest/gtest.h>

#include <cstdio>

#include "fixture_machine.h"
#include "transport/port_discovery_linux.h"

namespace {

// A port in one line: "ttyUSB0 usb 0403:6001 serial=A1B2C3 at=1-1.4.2 if=1.0 ftdi_sio 'FT232R USB UART'".
std::string render(const PortInfo& port, const std::string& dev)
{
    std::string text = port.device.substr(dev.size() + 1) + " " + portKindName(port.kind);
    if (port.hasUsbId) {
        char ids[16];
        std::snprintf(ids, sizeof ids, " %04x:%04x", port.vendorId, port.productId);
        text += ids;
    }
    if (!port.serialNumber.empty())
        text += " serial=" + port.serialNumber;
    if (!port.location.empty())
        text += " at=" + port.location;
    if (!port.usbInterface.empty())
        text += " if=" + port.usbInterface;
    return text + " " + port.driver + " '" + port.description + "'";
}

std::vector<std::string> rendered(const FixtureMachine& machine)
{
    std::vector<std::string> lines;
    for (const PortInfo& port : listPorts(machine.sys(), machine.dev()))
        lines.push_back(render(port, machine.dev()));
    return lines;
}

const PortInfo* find(const std::vector<PortInfo>& ports, const std::string& device)
{
    for (const PortInfo& port : ports) {
        if (port.device == device)
            return &port;
    }
    return nullptr;
}

}  // namespace

TEST(PortDiscovery, WorkstationKeepsRealPortsAndDescribesEach)
{
    FixtureMachine machine("workstation");
    EXPECT_EQ(rendered(machine), (std::vector<std::string>{
        "ttyACM0 usb 0483:5740 serial=3868345A3233 at=1-2 if=1.0 cdc_acm 'STM32 Virtual ComPort'",
        "ttyS0 builtin serial 'Built-in serial port (COM1)'",
        "ttyS4 pci at=0000:03:00.0 serial 'PCI serial port'",
        "ttyUSB0 usb 0403:6001 serial=A1B2C3 at=1-1.4.2 if=1.0 ftdi_sio 'FT232R USB UART'",
        "ttyUSB1 usb 0403:6015 serial=DK0AB1CD at=1-1.3 if=1.0 ftdi_sio 'FT230X Basic UART'",
        "ttyUSB2 usb 0403:6015 serial=DK0AB1CE at=3-2 if=1.0 ftdi_sio 'FT230X Basic UART'",
        "ttyUSB3 usb 1a86:7523 at=1-1.4.1 if=1.0 ch341-uart 'USB Serial'",
    }));
}

TEST(PortDiscovery, UsbStringsAndUdevNames)
{
    FixtureMachine machine("workstation");
    const auto ports = listPorts(machine.sys(), machine.dev());
    const PortInfo* ftdi = find(ports, machine.dev() + "/ttyUSB0");
    ASSERT_NE(ftdi, nullptr);
    EXPECT_EQ(ftdi->manufacturer, "FTDI");
    EXPECT_EQ(ftdi->product, "FT232R USB UART");
    EXPECT_EQ(ftdi->stableNames,
              (std::vector<std::string>{machine.dev() + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0",
                                        machine.dev() + "/serial/by-path/pci-0000:00:14.0-usb-0:1.4.2:1.0-port0"}));
    const PortInfo* ch340 = find(ports, machine.dev() + "/ttyUSB3");
    ASSERT_NE(ch340, nullptr);
    EXPECT_EQ(ch340->serialNumber, "");
    EXPECT_EQ(ch340->manufacturer, "");
    const PortInfo* uart = find(ports, machine.dev() + "/ttyS4");
    ASSERT_NE(uart, nullptr);
    EXPECT_TRUE(uart->stableNames.empty());
}

TEST(PortDiscovery, LegacySlotsLeftOutOnOlderKernels)
{
    // type 0 on the 8250 platform device's own ttys; no udev at all.
    FixtureMachine laptop("laptop");
    EXPECT_EQ(rendered(laptop), (std::vector<std::string>{
        "ttyACM0 usb 2e8a:000a serial=E660583883456A2F at=3-1 if=1.0 cdc_acm 'Pico'"}));
    // No `type` attribute: the 8250 platform device's ttys go, the PnP UARTs stay.
    FixtureMachine server("server");
    EXPECT_EQ(rendered(server), (std::vector<std::string>{"ttyS0 builtin serial 'Built-in serial port (COM1)'",
                                                          "ttyS1 builtin serial 'Built-in serial port (COM2)'"}));
}

TEST(PortDiscovery, AdapterLatencyTimers)
{
    // ftdi_sio shows its timer (16 ms by default, 1 ms once a udev rule set it); ch341 and
    // cdc_acm have none.
    FixtureMachine machine("workstation");
    std::vector<std::string> timers;
    for (const PortInfo& port : listPorts(machine.sys(), machine.dev())) {
        if (port.kind == PortKind::Usb)
            timers.push_back(port.device.substr(machine.dev().size() + 1) + " " + port.driver + " " +
                             (port.latencyTimerMs ? std::to_string(*port.latencyTimerMs) : "-"));
    }
    EXPECT_EQ(timers, (std::vector<std::string>{"ttyACM0 cdc_acm -", "ttyUSB0 ftdi_sio 16", "ttyUSB1 ftdi_sio 1",
                                                "ttyUSB2 ftdi_sio 16", "ttyUSB3 ch341-uart -"}));
}

// Port selectors against the fixture machines: each selector names exactly the port it
// should, and what names none or several ports says so, listing what it found and how to
// name each one.
#include <gtest/gtest.h>

#include "fixture_machine.h"
#include "transport/port_discovery_linux.h"
#include "transport/port_selector.h"

namespace {

PortChoice choose(const std::string& text, const std::vector<PortInfo>& ports)
{
    PortSelector selector;
    std::string error;
    EXPECT_TRUE(parsePortSelector(text, &selector, &error)) << text << ": " << error;
    return chooseOnePort(selector, ports);
}

class Workstation : public ::testing::Test {
protected:
    FixtureMachine machine{"workstation"};
    std::vector<PortInfo> ports = listPorts(machine.sys(), machine.dev());

    std::string dev(const std::string& name) const { return machine.dev() + "/" + name; }
};

}  // namespace

TEST_F(Workstation, EachSelectorNamesItsPort)
{
    const std::pair<const char*, const char*> cases[] = {
        {"usb:0403:6001", "ttyUSB0"},          {"usb:0403:6001:A1B2C3", "ttyUSB0"},
        {"usb:403:6001", "ttyUSB0"},           {"usb:1A86:7523", "ttyUSB3"},
        {"usb:0403:6015:DK0AB1CD", "ttyUSB1"}, {"usb:0403:6015:DK0AB1CE", "ttyUSB2"},
        {"usb-path:1-1.3", "ttyUSB1"},         {"usb-path:3-2", "ttyUSB2"},
        {"usb-path:1-1.4.1", "ttyUSB3"},       {"usb-path:1-2:1.0", "ttyACM0"},
    };
    for (const auto& c : cases) {
        const PortChoice choice = choose(c.first, ports);
        EXPECT_TRUE(choice.found) << c.first << ": " << choice.error;
        EXPECT_EQ(choice.device, dev(c.second)) << c.first;
    }
    // A device name is opened as given; a stable name finds its port in the list.
    EXPECT_EQ(choose("/dev/ttyS4", ports).device, "/dev/ttyS4");
    PortSelector byId;
    std::string error;
    ASSERT_TRUE(parsePortSelector(dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"), &byId, &error));
    ASSERT_EQ(selectPorts(byId, ports).size(), 1u);
    EXPECT_EQ(selectPorts(byId, ports)[0].serialNumber, "A1B2C3");
    EXPECT_EQ(usbPorts(ports).size(), 5u);
}

TEST_F(Workstation, TwinsAreAmbiguousUntilNamedBySerialOrSocket)
{
    const PortChoice twins = choose("usb:0403:6015", ports);
    EXPECT_FALSE(twins.found);
    EXPECT_EQ(twins.error,
              "usb:0403:6015 matches 2 serial ports; name one:\n"
              "  usb:0403:6015:DK0AB1CD   (" + dev("ttyUSB1") + ": FT230X Basic UART, 0403:6015, serial DK0AB1CD, at 1-1.3)\n"
              "  usb:0403:6015:DK0AB1CE   (" + dev("ttyUSB2") + ": FT230X Basic UART, 0403:6015, serial DK0AB1CE, at 3-2)");
}

TEST_F(Workstation, NothingMatchedListsTheUsbPortsPresent)
{
    // Serial numbers match exactly; a hub's socket is not its children's.
    for (const char* text : {"usb:0403:6001:a1b2c3", "usb-path:1-1.4", "usb:1a86:7523:X", "usb:dead:beef"}) {
        const PortChoice choice = choose(text, ports);
        EXPECT_FALSE(choice.found) << text;
        EXPECT_EQ(choice.error.substr(0, choice.error.find(';')), std::string(text) + " matches no serial port");
        EXPECT_NE(choice.error.find("usb-path:1-1.4.1   (" + dev("ttyUSB3")), std::string::npos) << choice.error;
    }
}

TEST_F(Workstation, AutoRefusesSeveralAndSaysHowToNameEach)
{
    const PortChoice choice = choose("auto", ports);
    EXPECT_FALSE(choice.found);
    EXPECT_EQ(choice.error.substr(0, choice.error.find('\n')), "auto: 5 USB serial ports are present; name one:");
    for (const char* selector : {"usb:0483:5740:3868345A3233", "usb:0403:6001:A1B2C3", "usb:0403:6015:DK0AB1CD",
                                 "usb:0403:6015:DK0AB1CE", "usb-path:1-1.4.1"})
        EXPECT_NE(choice.error.find(std::string("\n  ") + selector + "   ("), std::string::npos) << selector;
    EXPECT_EQ(choice.error.find("ttyS"), std::string::npos);
}

TEST(PortSelectors, AutoTakesTheOnlyUsbPortOrListsTheOthers)
{
    FixtureMachine laptop("laptop");
    const PortChoice one = choose("auto", listPorts(laptop.sys(), laptop.dev()));
    EXPECT_TRUE(one.found) << one.error;
    EXPECT_EQ(one.device, laptop.dev() + "/ttyACM0");

    FixtureMachine server("server");
    const PortChoice none = choose("auto", listPorts(server.sys(), server.dev()));
    EXPECT_FALSE(none.found);
    EXPECT_EQ(none.error, "auto: no USB serial port is present; the serial ports present, to name one:\n"
                          "  " + server.dev() + "/ttyS0: Built-in serial port (COM1)\n"
                          "  " + server.dev() + "/ttyS1: Built-in serial port (COM2)");
    EXPECT_EQ(choose("usb:0403:6001", listPorts(server.sys(), server.dev())).error,
              "usb:0403:6001 matches no serial port (no USB serial port is present)");
}

TEST(PortSelectors, MalformedSelectorsAreRefused)
{
    for (const char* text : {"", "usb:", "usb:0403", "usb:04031:6001", "usb:xyz:6001", "usb:0403:6001:", "usb-path:"}) {
        PortSelector selector;
        std::string error;
        EXPECT_FALSE(parsePortSelector(text, &selector, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

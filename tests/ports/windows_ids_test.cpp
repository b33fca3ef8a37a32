// A USB serial port's identity from the strings Windows keeps for it (instance ids of the port
// and its parent, the location path), as real devices give them.
#include <gtest/gtest.h>

#include "transport/windows_device_ids.h"

TEST(WindowsDeviceIds, UsbIdentityFromInstanceIds)
{
    struct Case {
        const char* instance;
        const char* parent;
        uint16_t vendor, product;
        const char* serial;
        const char* interface;
    };
    const Case cases[] = {
        {"USB\\VID_0403&PID_6001\\A1B2C3", "USB\\ROOT_HUB30\\4&1B2C3D4&0&0", 0x0403, 0x6001, "A1B2C3", ""},
        {"USB\\VID_1A86&PID_7523\\5&2F7B2B3C&0&2", "USB\\ROOT_HUB30\\4&1B2C3D4&0&0", 0x1a86, 0x7523, "", ""},
        {"USB\\VID_0483&PID_5740&MI_00\\6&1B8F0A7&0&0000", "USB\\VID_0483&PID_5740\\3868345A3233", 0x0483, 0x5740,
         "3868345A3233", "1.0"},
        {"USB\\VID_1D50&PID_6018&MI_02\\7&2A&0&0002", "USB\\VID_1D50&PID_6018\\6&1&0&3", 0x1d50, 0x6018, "", "1.2"},
        {"FTDIBUS\\VID_0403+PID_6010+FT4TB1A2B\\0000", "USB\\VID_0403&PID_6010\\5&3A&0&1", 0x0403, 0x6010, "FT4TB1A2",
         "1.1"},
    };
    for (const Case& c : cases) {
        const UsbIdentity usb = usbIdentityFromIds(c.instance, c.parent);
        EXPECT_TRUE(usb.hasUsbId) << c.instance;
        EXPECT_EQ(usb.vendorId, c.vendor) << c.instance;
        EXPECT_EQ(usb.productId, c.product) << c.instance;
        EXPECT_EQ(usb.serialNumber, c.serial) << c.instance;
        EXPECT_EQ(usb.usbInterface, c.interface) << c.instance;
    }
    EXPECT_FALSE(usbIdentityFromIds("ACPI\\PNP0501\\1", "ACPI\\PNP0A08\\0").hasUsbId);
    EXPECT_FALSE(usbIdentityFromIds("PCI\\VEN_1415&DEV_C158&SUBSYS_00001415&REV_00\\4&1&0&00E0", "").hasUsbId);
}

TEST(WindowsDeviceIds, HubPathFromLocationPath)
{
    EXPECT_EQ(usbLocationFromPath("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)#USB(2)"), "1-1.4.2");
    EXPECT_EQ(usbLocationFromPath("PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(2)#USBMI(0)"), "1-2");
    EXPECT_EQ(usbLocationFromPath("ACPI(_SB_)#ACPI(PCI0)#ACPI(UAR1)"), "");
}

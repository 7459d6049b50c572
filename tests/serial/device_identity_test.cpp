#include "serial/device_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kSocket[] = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)";

struct Shape {
    const wchar_t* what;
    ComPortDevice device;
    const wchar_t* identity;  // IdentityText
    const wchar_t* label;     // AdapterLabel
};

// Instance IDs as Device Manager shows them for each kind of port.
const Shape kShapes[] = {
    {L"FTDI, FTDI's driver",
     {L"COM7", L"USB Serial Port (COM7)", L"FTDIBUS\\VID_0403+PID_6001+A10K2QXYA\\0000",
      L"USB\\VID_0403&PID_6001\\A10K2QXY", kSocket},
     L"USB VID_0403 PID_6001 SN A10K2QXY",
     L"A10K2QXY"},
    {L"FT2232, second channel",
     {L"COM9", L"", L"FTDIBUS\\VID_0403+PID_6010+FT4ZK1B\\0000", L"", L""},
     L"USB VID_0403 PID_6010 SN FT4ZK1 IF B",
     L"FT4ZK1"},
    {L"CP210x",
     {L"COM4", L"Silicon Labs CP210x USB to UART Bridge (COM4)", L"USB\\VID_10C4&PID_EA60\\0001",
      L"", kSocket},
     L"USB VID_10C4 PID_EA60 SN 0001",
     L"0001"},
    {L"CH340 without serial",
     {L"COM5", L"USB-SERIAL CH340 (COM5)", L"USB\\VID_1A86&PID_7523\\5&2A0D1E3F&0&3", L"", kSocket},
     L"USB VID_1A86 PID_7523 LOC PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)",
     L"USB VID_1A86 PID_7523 LOC PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)"},
    {L"PL2303 without serial or location",
     {L"COM6", L"Prolific USB-to-Serial Comm Port (COM6)", L"USB\\VID_067B&PID_2303\\5&1F8A9C1&0&1",
      L"", L""},
     L"USB\\VID_067B&PID_2303\\5&1F8A9C1&0&1",
     L"USB\\VID_067B&PID_2303\\5&1F8A9C1&0&1"},
    {L"CDC-ACM",
     {L"COM8", L"Arduino Uno (COM8)", L"USB\\VID_2341&PID_0043\\85736323838351F0E1C1", L"",
      kSocket},
     L"USB VID_2341 PID_0043 SN 85736323838351F0E1C1",
     L"85736323838351F0E1C1"},
    {L"CDC-ACM interface of a composite device",
     {L"COM10", L"STMicroelectronics STLink Virtual COM Port (COM10)",
      L"USB\\VID_0483&PID_374B&MI_02\\6&1C7F4E2A&0&0002",
      L"USB\\VID_0483&PID_374B\\066DFF485550755187034646", kSocket},
     L"USB VID_0483 PID_374B SN 066DFF485550755187034646 IF 02",
     L"066DFF485550755187034646"},
    {L"Bluetooth serial",
     {L"COM11", L"Standard Serial over Bluetooth link (COM11)",
      L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1D80ECD3&0&000000000000_"
      L"00000000",
      L"", L""},
     L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1D80ECD3&0&000000000000_"
     L"00000000",
     nullptr},
    {L"16550 on the motherboard",
     {L"COM1", L"Communications Port (COM1)", L"ACPI\\PNP0501\\1", L"",
      L"ACPI(_SB_)#ACPI(PCI0)#ACPI(LPCB)#ACPI(UAR1)"},
     L"ACPI\\PNP0501\\1",
     L"ACPI\\PNP0501\\1"},
};

TEST(DeviceIdentity, EachKindOfPortHasItsIdentityAndItsShortFormFindsItAlone) {
    std::vector<ComPortDevice> all;
    for (const Shape& shape : kShapes) {
        all.push_back(shape.device);
    }
    for (const Shape& shape : kShapes) {
        const AdapterIdentity identity = IdentifyAdapter(shape.device);
        EXPECT_EQ(IdentityText(identity), shape.identity) << shape.what;
        if (shape.label != nullptr) {
            EXPECT_EQ(AdapterLabel(identity), shape.label) << shape.what;
        }
        // What the program shows is what "Device" takes back, and it names
        // that port only, whatever the case.
        DeviceSelector selector;
        const std::wstring text = IdentityText(identity);
        for (const std::wstring& given : {text, std::wstring(L"  ") + text + L" "}) {
            ASSERT_EQ(ParseDeviceSelector(given, selector), L"") << shape.what;
            const AdapterFound found = FindAdapter(selector, all);
            ASSERT_EQ(found.result, AdapterSearch::Found) << shape.what;
            EXPECT_EQ(found.device->portName, shape.device.portName) << shape.what;
        }
    }
}

TEST(DeviceIdentity, SelectorsMatchByTheirRules) {
    ComPortDevice ftdi = kShapes[0].device;
    ComPortDevice moved = ftdi;
    moved.portName = L"COM12";
    moved.locationPath = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(7)";
    ComPortDevice ch340 = kShapes[3].device;
    ComPortDevice ch340Moved = ch340;
    ch340Moved.locationPath = moved.locationPath;
    struct Row {
        const wchar_t* device;
        const ComPortDevice& port;
        bool matches;
    } rows[] = {
        {L"usb vid_0403 pid_6001 sn a10k2qxy", moved, true},  // a serial follows the adapter
        {L"USB SN A10K2QXY PID_6001 VID_0403", ftdi, true},   // words in any order
        {L"USB VID_0403 PID_6001 SN A10K2QXZ", ftdi, false},
        {L"USB VID_0403 PID_6015 SN A10K2QXY", ftdi, false},
        {L"USB VID_0403 PID_6001 SN A10K2QXY IF B", ftdi, false},
        {L"USB\\VID_0403&PID_6001\\A10K2QXY", moved, true},  // the parent's ID
        {L"ftdibus\\VID_0403+PID_6001+A10K2QXYA\\0000", ftdi, true},
        {L"USB VID_1A86 PID_7523 LOC PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)", ch340, true},
        {L"USB VID_1A86 PID_7523 LOC PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)", ch340Moved, false},
    };
    for (const Row& row : rows) {
        DeviceSelector selector;
        ASSERT_EQ(ParseDeviceSelector(row.device, selector), L"") << row.device;
        EXPECT_EQ(SelectorMatches(selector, row.port), row.matches) << row.device;
    }
    DeviceSelector selector;
    ASSERT_EQ(ParseDeviceSelector(rows[7].device, selector), L"");
    EXPECT_TRUE(SelectsByLocation(selector));
    ASSERT_EQ(ParseDeviceSelector(rows[0].device, selector), L"");
    EXPECT_FALSE(SelectsByLocation(selector));
    // Two clones with one serial number: neither is taken.
    EXPECT_EQ(FindAdapter(selector, {ftdi, moved}).result, AdapterSearch::Ambiguous);
    EXPECT_EQ(FindAdapter(selector, {ch340}).result, AdapterSearch::Missing);

    for (const wchar_t* bad : {L"", L"COM3", L"USB VID_0403 PID_6001", L"USB VID_0403 SN X",
                               L"USB VID_0403 PID_6001 SN", L"USB VID_0403 PID_6001 SERIAL X"}) {
        EXPECT_NE(ParseDeviceSelector(bad, selector), L"") << bad;
    }
}

TEST(DeviceIdentity, PlugEventsAndListsNameThePorts) {
    EXPECT_EQ(InstanceIdOfInterface(
                  L"\\\\?\\USB#VID_0403&PID_6001#A10K2QXY#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"),
              L"USB\\VID_0403&PID_6001\\A10K2QXY");
    EXPECT_EQ(InstanceIdOfInterface(L"COM3"), L"");
    EXPECT_EQ(
        PortsPresentText({kShapes[8].device, kShapes[0].device, {L"COM3", L"", L"", L"", L""}}),
        L"COM ports present: COM1 (Communications Port), COM7 (USB Serial Port), COM3\r\n");
    EXPECT_EQ(PortsPresentText({}), L"No COM ports present\r\n");
    EXPECT_EQ(PortListText({kShapes[0].device, {L"COM3", L"", L"", L"", L""}}),
              L"COM7  USB Serial Port (COM7)  USB VID_0403 PID_6001 SN A10K2QXY\r\nCOM3");
    ComPortDevice quoted = kShapes[8].device;
    quoted.friendlyName = L"Port \"A\"";
    EXPECT_EQ(
        PortListJson({quoted}),
        L"[\n  {\"port\": \"COM1\", \"friendlyName\": \"Port \\\"A\\\"\", \"instanceId\": "
        L"\"ACPI\\\\PNP0501\\\\1\", \"vendorId\": \"\", \"productId\": \"\", \"serial\": \"\", "
        L"\"location\": \"ACPI(_SB_)#ACPI(PCI0)#ACPI(LPCB)#ACPI(UAR1)\", \"device\": "
        L"\"ACPI\\\\PNP0501\\\\1\"}\n]");
    EXPECT_EQ(PortListJson({}), L"[]");
}

}  // namespace

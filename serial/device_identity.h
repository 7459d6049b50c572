// Who a COM port's adapter is, from what Windows says of its device: the
// instance IDs, the USB location path, the friendly name. And the "Device"
// value a bridge names its adapter by. Platform-free.
//
// Shapes of device instance IDs, as Device Manager shows them:
//   USB\VID_0403&PID_6001\A10K2QXY                 a USB device with a serial number
//   USB\VID_1A86&PID_7523\5&2A0D1E3F&0&3           without one: Windows makes the
//                                                  last part from the USB socket ("&")
//   USB\VID_0483&PID_374B&MI_02\6&1C7F4E2A&0&0002  one interface of a composite device;
//                                                  the serial is in its parent's ID
//   FTDIBUS\VID_0403+PID_6001+A10K2QXYA\0000       FTDI's own driver: the serial and
//                                                  the channel letter (A, B, ...)
//   BTHENUM\{00001101-...}_LOCALMFG&0002\7&...     a Bluetooth serial port
//   ACPI\PNP0501\1                                 a port on the motherboard
// (Microsoft, "Device instance IDs", "Standard USB identifiers" and "Serial
// number in the USB device ID" in the Windows driver documentation.)
#pragma once

#include <string>
#include <vector>

// One COM port as the enumeration found it.
struct ComPortDevice {
    std::wstring portName;      // "COM7": the device's "PortName" value
    std::wstring friendlyName;  // "USB Serial Port (COM7)"; may be empty
    std::wstring instanceId;    // the port's own device instance ID
    std::wstring parentId;      // its parent's (a composite USB device, FTDI's bus); may be empty
    std::wstring locationPath;  // the first of its (or its parent's) location paths; may be empty
    unsigned long latencyTimerMs = 0;  // FTDI's "LatencyTimer" device parameter; 0 when none
};

// What identifies the adapter behind a port.
struct AdapterIdentity {
    bool usb = false;
    std::wstring vendorId;    // four hex digits, upper case ("0403"); USB only
    std::wstring productId;   // "6001"
    std::wstring serial;      // the device's own serial number; empty when it has none
    std::wstring interface;   // "02" of MI_02, or FTDI's channel letter when not "A"; often empty
    std::wstring location;    // the USB location path, used when there is no serial number
    std::wstring instanceId;  // the port's instance ID: what names a port that is not USB
};

AdapterIdentity IdentifyAdapter(const ComPortDevice& device);

// The short form of an identity, as "Device" may hold it and as the program
// shows it:
//   USB VID_0403 PID_6001 SN A10K2QXY
//   USB VID_0483 PID_374B SN 066DFF485550755187034646 IF 02
//   USB VID_1A86 PID_7523 LOC PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)
// For a port that is not on USB (Bluetooth, the motherboard), the instance ID.
std::wstring IdentityText(const AdapterIdentity& identity);

// A short name for Messages: the serial number, or the short form.
std::wstring AdapterLabel(const AdapterIdentity& identity);

// The adapter a "Device" value names: the short form (words in any order
// after "USB", any case), or a device instance ID, which matches the port's
// own ID or its parent's.
struct DeviceSelector {
    bool instance = false;  // an instance ID
    std::wstring instanceId;
    std::wstring vendorId, productId, serial, interface, location;
};

// Parses text into selector; on a malformed value returns why (for the user),
// else an empty string.
std::wstring ParseDeviceSelector(const std::wstring& text, DeviceSelector& selector);

bool SelectorMatches(const DeviceSelector& selector, const ComPortDevice& device);

// Whether the selector finds its adapter by the USB socket: moving the
// adapter to another socket loses it.
bool SelectsByLocation(const DeviceSelector& selector);

enum class AdapterSearch { Found, Missing, Ambiguous };
struct AdapterFound {
    AdapterSearch result;
    const ComPortDevice* device;  // Found only
};
// The one port among devices whose adapter the selector names.
AdapterFound FindAdapter(const DeviceSelector& selector, const std::vector<ComPortDevice>& devices);

// The instance ID of a device interface's symbolic link, as plug events
// name it ("\\?\USB#VID_0403&PID_6001#A10K2QXY#{86e0d1e0-...}" gives
// "USB\VID_0403&PID_6001\A10K2QXY"); empty when the link has another shape.
std::wstring InstanceIdOfInterface(const std::wstring& symbolicLink);

// "COM ports present: " and each port as "COM7 (USB Serial Port)", or
// "No COM ports present\r\n". The friendly name is left out when it is empty
// or just the port's name.
std::wstring PortsPresentText(const std::vector<ComPortDevice>& ports);

// Each port on one line: "COM7  USB Serial Port (COM7)  USB VID_0403 ...".
std::wstring PortListText(const std::vector<ComPortDevice>& ports);
// The same as a JSON array of objects with "port", "friendlyName",
// "instanceId", "vendorId", "productId", "serial", "location", "device".
std::wstring PortListJson(const std::vector<ComPortDevice>& ports);

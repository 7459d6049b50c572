// The COM ports this host has, with the adapters behind them, and word of
// adapters plugged in or pulled out. Silent: each call says what it found.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "config/settings_record.h"
#include "serial/device_identity.h"

// Where the ports come from, and where plug events come from. Tests replace
// them: Wine's SetupAPI lists none of its COM ports and its configuration
// manager sends no device events.
struct PortEnumerationCalls {
    // Every present device of the Ports class or with the COM-port interface.
    std::vector<ComPortDevice> (*listDevices)();
    // Registers for COM-port interface arrival and removal: onPlug runs on a
    // system thread with the device's instance ID. Returns the registration
    // or null (no events: before Windows 8, or refused).
    void* (*watch)(void (*onPlug)(void* context, bool arrived, const std::wstring& instanceId),
                   void* context);
    // Ends a registration; returns once no callback of it runs any more.
    void (*unwatch)(void* registration);
};
extern PortEnumerationCalls PortEnumeration;

// The ports, sorted by name: those SetupAPI lists, or when it lists none, the
// names in HARDWARE\DEVICEMAP\SERIALCOMM and the COMn DOS device names, with
// nothing known of their adapters.
std::vector<ComPortDevice> ListComPorts();

// Which COM name an opening of the port is to use: "Serial port", or where
// "Device" names an adapter, the name that adapter has now.
struct PortChoice {
    std::wstring portName;    // what to open; empty when the adapter is not there
    ComPortDevice device;     // the port's device as listed (empty fields when unknown)
    bool followed = false;    // "Device" named the adapter
    bool byLocation = false;  // ... by its USB socket
    AdapterSearch search = AdapterSearch::Found;
    std::wstring deviceProblem;  // why "Device" was not understood (then "Serial port" is used)
};
PortChoice ChoosePort(const PortSettingsRecord& settings);

// Owns a plug registration: while it lives, onPlug hears of COM-port
// adapters that arrive or go.
class PortPlugWatch {
public:
    PortPlugWatch() = default;
    ~PortPlugWatch() { Stop(); }
    PortPlugWatch(const PortPlugWatch&) = delete;
    PortPlugWatch& operator=(const PortPlugWatch&) = delete;
    bool Start(void (*onPlug)(void* context, bool arrived, const std::wstring& instanceId),
               void* context);
    void Stop();

private:
    void* registration_ = nullptr;
};

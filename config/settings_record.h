// The record of what a bridge connects: COM port, the virtual
// machine's pipe and the serial line settings. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text.h"

// Capacity of a name in characters, terminator included.
inline constexpr std::size_t kNameCapacity = 255;
inline constexpr wchar_t kPipePathPrefix[] = L"\\\\.\\pipe\\";
inline constexpr std::size_t kPipePathPrefixLength = 9;
// "\\.\pipe\" and a name of any length the record holds.
inline constexpr std::size_t kPipePathCapacity = kPipePathPrefixLength + kNameCapacity;

// The numeric codes are the platform's own DCB encodings, member for member.
struct PortSettingsRecord {
    wchar_t serialPort[kNameCapacity];
    wchar_t pipePath[kPipePathCapacity];  // derived: set only through SetPipeName
    wchar_t pipeName[kNameCapacity];
    std::uint32_t baudRate;
    std::uint8_t dataBits;
    std::uint8_t stopBits;     // 0 one, 1 one and a half, 2 two
    std::uint8_t parity;       // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t flowControl;  // 0 none, 1 RTS/CTS, 2 Xon/Xoff, anything else custom
    std::uint32_t useCtsForOutput;
    std::uint32_t useDsrForOutput;
    std::uint32_t useDsrForInput;
    std::uint32_t dtrControlMode;
    std::uint32_t rtsControlMode;
    std::uint32_t discardNull;
    // The adapter the port is to be found by, whatever COM name it has now
    // (serial/device_identity.h); empty: the port is "Serial port" itself.
    wchar_t device[kNameCapacity];
};

// The one way to set the pipe name: also rebuilds the pipe path.
void SetPipeName(PortSettingsRecord& record, const wchar_t* name);
void SetSerialPortName(PortSettingsRecord& record, const wchar_t* name);
void SetDeviceIdentity(PortSettingsRecord& record, const wchar_t* identity);

// COM3, 9600 baud, 8 data bits, no parity, 1 stop bit, pipe "Vantrel".
void ApplyDefaultSettings(PortSettingsRecord& record);

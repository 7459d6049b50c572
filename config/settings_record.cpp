#include "config/settings_record.h"

#include <cwctype>

PortSettingsRecord PortSettings;

void CopyText(wchar_t* destination, std::size_t capacity, const wchar_t* source) {
    if (capacity == 0) {
        return;
    }
    std::size_t i = 0;
    for (; i + 1 < capacity && source[i] != L'\0'; ++i) {
        destination[i] = source[i];
    }
    destination[i] = L'\0';
}

void AppendText(wchar_t* destination, std::size_t capacity, const wchar_t* source) {
    std::size_t length = 0;
    while (length < capacity && destination[length] != L'\0') {
        ++length;
    }
    if (length < capacity) {
        CopyText(destination + length, capacity - length, source);
    }
}

std::wstring UpperCase(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}

void SetPipeName(PortSettingsRecord& record, const wchar_t* name) {
    CopyText(record.pipeName, kNameCapacity, name);
    CopyText(record.pipePath, kPipePathCapacity, kPipePathPrefix);
    AppendText(record.pipePath, kPipePathCapacity, record.pipeName);
}

void SetSerialPortName(PortSettingsRecord& record, const wchar_t* name) {
    CopyText(record.serialPort, kNameCapacity, name);
}

void SetDeviceIdentity(PortSettingsRecord& record, const wchar_t* identity) {
    CopyText(record.device, kNameCapacity, identity);
}

void SetPipeName(const wchar_t* name) {
    SetPipeName(PortSettings, name);
}

void SetSerialPortName(const wchar_t* name) {
    SetSerialPortName(PortSettings, name);
}

void ApplyDefaultSettings(PortSettingsRecord& record) {
    SetSerialPortName(record, L"COM3");
    SetPipeName(record, L"Vantrel");
    record.baudRate = 9600;
    record.dataBits = 8;
    record.stopBits = 0;
    record.parity = 0;
    record.flowControl = 0;
    record.useCtsForOutput = 0;
    record.useDsrForOutput = 1;
    record.useDsrForInput = 1;
    record.dtrControlMode = 1;
    record.rtsControlMode = 0;
    record.discardNull = 0;
    SetDeviceIdentity(record, L"");
}

void ApplyDefaultSettings() {
    ApplyDefaultSettings(PortSettings);
}

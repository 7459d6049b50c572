#include "config/settings_record.h"

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

void SetPipeName(const wchar_t* name) {
    CopyText(PortSettings.pipeName, kNameCapacity, name);
    CopyText(PortSettings.pipePath, kPipePathCapacity, kPipePathPrefix);
    AppendText(PortSettings.pipePath, kPipePathCapacity, PortSettings.pipeName);
}

void SetSerialPortName(const wchar_t* name) {
    CopyText(PortSettings.serialPort, kNameCapacity, name);
}

void ApplyDefaultSettings() {
    SetSerialPortName(L"COM3");
    SetPipeName(L"Vantrel");
    PortSettings.baudRate = 9600;
    PortSettings.dataBits = 8;
    PortSettings.stopBits = 0;
    PortSettings.parity = 0;
    PortSettings.flowControl = 0;
    PortSettings.useCtsForOutput = 0;
    PortSettings.useDsrForOutput = 1;
    PortSettings.useDsrForInput = 1;
    PortSettings.dtrControlMode = 1;
    PortSettings.rtsControlMode = 0;
    PortSettings.discardNull = 0;
}

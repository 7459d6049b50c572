#include "config/settings_record.h"

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

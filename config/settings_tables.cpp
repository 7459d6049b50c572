#include "config/settings_tables.h"

const StoredSetting kNameSettings[2] = {
    {L"Serial port", SettingField::SerialPort,
     L"There was an error accessing the serial port registry key.  Please re-run the installer"},
    {L"Pipe name", SettingField::PipeName,
     L"There was an error accessing the pipe name registry key.  Please re-run the installer"},
};

const StoredSetting kNumericLoadOrder[11] = {
    {L"Baud rate", SettingField::BaudRate,
     L"There was an error accessing the baud rate registry key.  Please re-run the installer"},
    {L"Data bits", SettingField::DataBits,
     L"There was an error accessing the data bits registry key.  Please re-run the installer"},
    {L"Stop bits", SettingField::StopBits,
     L"There was an error accessing the stop bits registry key.  Please re-run the installer"},
    {L"Parity", SettingField::Parity,
     L"There was an error accessing the parity registry key.  Please re-run the installer"},
    {L"Flow control", SettingField::FlowControl,
     L"There was an error accessing the flow control registry key.  Please re-run the installer"},
    {L"Use CTS for output", SettingField::UseCtsForOutput,
     L"There was an error accessing the 'Use CTS for Output' registry key.  Please re-run the "
     L"installer"},
    {L"Use DSR for output", SettingField::UseDsrForOutput,
     L"There was an error accessing the 'Use DSR for Output' registry key.  Please re-run the "
     L"installer"},
    {L"Use DSR for input", SettingField::UseDsrForInput,
     L"There was an error accessing the DSR input control mode registry key.  Please re-run the "
     L"installer"},
    {L"DTR control mode", SettingField::DtrControlMode,
     L"There was an error accessing the DTR control mode registry key.  Please re-run the "
     L"installer"},
    {L"RTS control mode", SettingField::RtsControlMode,
     L"There was an error accessing the RTS control mode registry key.  Please re-run the "
     L"installer"},
    {L"Discard NULL", SettingField::DiscardNull,
     L"There was an error accessing the NULL control registry key.  Please re-run the installer"},
};

const SaveStep kOpenParentStep = {nullptr, SettingField::SerialPort, L"WR-110",
                                  L"trying to open the top-level settings for saving"};
const SaveStep kOpenSubkeyStep = {nullptr, SettingField::SerialPort, L"WR-111",
                                  L"opening the saved serial port settings"};

// A failure writing "Flow control" is reported as a failure writing "Use DSR
// for input": installed documentation and support scripts know only WR-220.
const SaveStep kSaveValueSteps[kSaveValueCount] = {
    {L"Serial port", SettingField::SerialPort, L"WR-120", L"writing the serial port settings"},
    {L"Pipe name", SettingField::PipeName, L"WR-130", L"writing the pipe name"},
    {L"Baud rate", SettingField::BaudRate, L"WR-140", L"writing the baud rate"},
    {L"Parity", SettingField::Parity, L"WR-150", L"writing the parity mode"},
    {L"Data bits", SettingField::DataBits, L"WR-160", L"writing the data bits"},
    {L"Stop bits", SettingField::StopBits, L"WR-170", L"writing the stop bits"},
    {L"DTR control mode", SettingField::DtrControlMode, L"WR-180", L"writing the DTR control mode"},
    {L"RTS control mode", SettingField::RtsControlMode, L"WR-190", L"writing the RTS control mode"},
    {L"Use CTS for output", SettingField::UseCtsForOutput, L"WR-200",
     L"writing the CTS output control mode"},
    {L"Use DSR for output", SettingField::UseDsrForOutput, L"WR-210",
     L"writing the DSR output control mode"},
    {L"Use DSR for input", SettingField::UseDsrForInput, L"WR-220",
     L"writing the DSR input control mode"},
    {L"Flow control", SettingField::FlowControl, L"WR-220", L"writing the DSR input control mode"},
    {L"Discard NULL", SettingField::DiscardNull, L"WR-230", L"writing the NULL treatment mode"},
};

const SaveStep kDeviceSaveStep = {kDeviceValue, SettingField::SerialPort, L"WR-240",
                                  L"writing the adapter to follow"};

void ComposeSaveFailureText(const wchar_t* phrase, wchar_t* text, std::size_t capacity) {
    CopyText(text, capacity, L"Unable to save the configuration because an error occured while ");
    AppendText(text, capacity, phrase);
    AppendText(text, capacity,
               L".  Please make sure you are running with administrative privileges.\n"
               L"System error: ");
}

void ComposeSaveFailureCaption(const wchar_t* code, wchar_t* caption, std::size_t capacity) {
    CopyText(caption, capacity, L"Error ");
    AppendText(caption, capacity, code);
}

namespace {

// Where each numeric field lives in the record: the four 8-bit codes, or a
// double word.
struct NumericField {
    SettingField field;
    std::uint8_t PortSettingsRecord::*narrow;
    std::uint32_t PortSettingsRecord::*wide;
};
constexpr NumericField kNumericFields[] = {
    {SettingField::BaudRate, nullptr, &PortSettingsRecord::baudRate},
    {SettingField::DataBits, &PortSettingsRecord::dataBits, nullptr},
    {SettingField::StopBits, &PortSettingsRecord::stopBits, nullptr},
    {SettingField::Parity, &PortSettingsRecord::parity, nullptr},
    {SettingField::FlowControl, &PortSettingsRecord::flowControl, nullptr},
    {SettingField::UseCtsForOutput, nullptr, &PortSettingsRecord::useCtsForOutput},
    {SettingField::UseDsrForOutput, nullptr, &PortSettingsRecord::useDsrForOutput},
    {SettingField::UseDsrForInput, nullptr, &PortSettingsRecord::useDsrForInput},
    {SettingField::DtrControlMode, nullptr, &PortSettingsRecord::dtrControlMode},
    {SettingField::RtsControlMode, nullptr, &PortSettingsRecord::rtsControlMode},
    {SettingField::DiscardNull, nullptr, &PortSettingsRecord::discardNull},
};

const NumericField* FindNumericField(SettingField field) {
    for (const NumericField& numeric : kNumericFields) {
        if (numeric.field == field) {
            return &numeric;
        }
    }
    return nullptr;
}

}  // namespace

std::uint32_t StoredNumber(const PortSettingsRecord& record, SettingField field) {
    const NumericField* numeric = FindNumericField(field);
    if (numeric == nullptr) {
        return 0;
    }
    return numeric->wide != nullptr ? record.*numeric->wide : record.*numeric->narrow;
}

void TakeStoredNumber(PortSettingsRecord& record, SettingField field, std::uint32_t stored) {
    if (const NumericField* numeric = FindNumericField(field)) {
        if (numeric->wide != nullptr) {
            record.*numeric->wide = stored;
        } else {
            record.*numeric->narrow = static_cast<std::uint8_t>(stored & 0xFFu);
        }
    }
}

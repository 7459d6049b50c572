#include "config/settings_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/settings_tables.h"

namespace {

PortSettingsRecord PortSettings{};

TEST(PipeName, PathIsThePipePrefixAndTheWholeName) {
    SetPipeName(PortSettings, L"Vantrel");
    EXPECT_EQ(std::wstring(PortSettings.pipeName), L"Vantrel");
    EXPECT_EQ(std::wstring(PortSettings.pipePath), L"\\\\.\\pipe\\Vantrel");
}

TEST(PipeName, LongestNameTheRecordHoldsKeepsItsPathWhole) {
    const std::wstring name(254, L'n');
    SetPipeName(PortSettings, name.c_str());
    EXPECT_EQ(std::wstring(PortSettings.pipeName), name);
    EXPECT_EQ(std::wstring(PortSettings.pipePath), L"\\\\.\\pipe\\" + name);
}

TEST(PipeName, LongerNamesAreCutToTheRecordsCapacity) {
    const std::wstring name(300, L'n');
    SetPipeName(PortSettings, name.c_str());
    EXPECT_EQ(std::wstring(PortSettings.pipeName).size(), 254u);
    SetSerialPortName(PortSettings, name.c_str());
    EXPECT_EQ(std::wstring(PortSettings.serialPort).size(), 254u);
}

TEST(Defaults, ReplaceEveryField) {
    PortSettingsRecord garbage;
    std::memset(&garbage, 0x5A, sizeof garbage);
    PortSettings = garbage;
    ApplyDefaultSettings(PortSettings);
    EXPECT_EQ(std::wstring(PortSettings.serialPort), L"COM3");
    EXPECT_EQ(std::wstring(PortSettings.pipePath), L"\\\\.\\pipe\\Vantrel");
    const std::vector<std::uint32_t> expected = {9600, 8, 0, 0, 0, 0, 1, 1, 1, 0, 0};
    const std::vector<SettingField> fields = {
        SettingField::BaudRate,        SettingField::DataBits,       SettingField::StopBits,
        SettingField::Parity,          SettingField::FlowControl,    SettingField::UseCtsForOutput,
        SettingField::UseDsrForOutput, SettingField::UseDsrForInput, SettingField::DtrControlMode,
        SettingField::RtsControlMode,  SettingField::DiscardNull};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(StoredNumber(PortSettings, fields[i]), expected[i]) << "field " << i;
    }
}

TEST(StoredValues, EightBitFieldsKeepTheLowByteAndNothingIsValidated) {
    PortSettingsRecord record{};
    TakeStoredNumber(record, SettingField::DataBits, 264);
    TakeStoredNumber(record, SettingField::Parity, 7);
    TakeStoredNumber(record, SettingField::FlowControl, 0x1FF);
    TakeStoredNumber(record, SettingField::BaudRate, 0x12345678);
    TakeStoredNumber(record, SettingField::RtsControlMode, 0x10003);
    EXPECT_EQ(record.dataBits, 8);
    EXPECT_EQ(record.parity, 7);
    EXPECT_EQ(record.flowControl, 0xFF);
    EXPECT_EQ(record.baudRate, 0x12345678u);
    EXPECT_EQ(record.rtsControlMode, 0x10003u);
}

TEST(SaveSteps, WriteThirteenValuesAndReportFlowControlAsTheDsrInputStep) {
    std::vector<std::wstring> order;
    for (const SaveStep& step : kSaveValueSteps) {
        order.push_back(step.valueName);
    }
    EXPECT_EQ(order,
              (std::vector<std::wstring>{
                  L"Serial port", L"Pipe name", L"Baud rate", L"Parity", L"Data bits", L"Stop bits",
                  L"DTR control mode", L"RTS control mode", L"Use CTS for output",
                  L"Use DSR for output", L"Use DSR for input", L"Flow control", L"Discard NULL"}));
    EXPECT_EQ(std::wstring(kSaveValueSteps[11].code), L"WR-220");
    EXPECT_EQ(std::wstring(kSaveValueSteps[11].phrase), L"writing the DSR input control mode");
    for (const SaveStep& step : kSaveValueSteps) {
        EXPECT_EQ(std::wstring(step.code).size(), 6u);
    }
}

TEST(SaveFailureText, PhraseSitsBetweenTheFixedParts) {
    wchar_t text[1000];
    ComposeSaveFailureText(L"writing the parity mode", text, 1000);
    EXPECT_EQ(std::wstring(text),
              L"Unable to save the configuration because an error occured while writing the "
              L"parity mode.  Please make sure you are running with administrative "
              L"privileges.\nSystem error: ");
    wchar_t caption[30];
    ComposeSaveFailureCaption(L"WR-150", caption, 30);
    EXPECT_EQ(std::wstring(caption), L"Error WR-150");
}

}  // namespace

#include "ui/display_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Message(FailureVariant variant, const std::wstring& name) {
    wchar_t text[kFailureMessageCapacity];
    ComposeFailureMessage(variant, name.c_str(), text, kFailureMessageCapacity);
    return text;
}

TEST(FailureMessage, PipeVariantNamesThePipeBetweenQuotes) {
    const std::wstring text = Message(FailureVariant::Pipe, L"Vantrel");
    EXPECT_EQ(text.rfind(L"Couldn't connect to a virtual machine with pipe name 'Vantrel'.\n", 0),
              0u);
    EXPECT_NE(text.find(L"\t- press 'Retry' to try again using the same pipe name, or\n"),
              std::wstring::npos);
    EXPECT_EQ(text.size(), 54u + 7u + 329u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\n\n");
}

TEST(FailureMessage, SerialVariantNamesThePortAfterASpace) {
    const std::wstring text = Message(FailureVariant::Serial, L"COM3");
    EXPECT_EQ(text.rfind(L"Couldn't open serial port COM3.  Please make sure", 0), 0u);
    EXPECT_NE(text.find(L"\tis not being used by another program.\n"), std::wstring::npos);
    EXPECT_EQ(text.size(), 26u + 4u + 274u);
}

TEST(FailureMessage, LongestNamesAreShownWhole) {
    const std::wstring name(254, L'p');
    for (const FailureVariant variant : {FailureVariant::Pipe, FailureVariant::Serial}) {
        const std::wstring text = Message(variant, name);
        EXPECT_NE(text.find(name), std::wstring::npos);
        EXPECT_EQ(text.substr(text.size() - 2), L"\n\n");
        EXPECT_LT(text.size(), kFailureMessageCapacity);
    }
}

TEST(DisplayNames, FlowControlAboveThreeShowsAsCustom) {
    EXPECT_EQ(std::wstring(FlowControlName(0)), L"NONE");
    EXPECT_EQ(std::wstring(FlowControlName(1)), L"RTS/CTS");
    EXPECT_EQ(std::wstring(FlowControlName(2)), L"XON/XOFF");
    EXPECT_EQ(std::wstring(FlowControlName(3)), L"Custom");
    EXPECT_EQ(std::wstring(FlowControlName(4)), L"Custom");
    EXPECT_EQ(std::wstring(FlowControlName(255)), L"Custom");
}

TEST(DisplayNames, ParityAndStopBitsOutsideTheirTablesShowNothing) {
    EXPECT_EQ(std::wstring(ParityName(4)), L"SPACE");
    EXPECT_EQ(ParityName(5), nullptr);
    EXPECT_EQ(std::wstring(StopBitsText(1)), L"1.5");
    EXPECT_EQ(StopBitsText(3), nullptr);
}

TEST(BaudList, PreselectsOnlyRatesOfTheList) {
    EXPECT_EQ(std::wstring(kBaudEntries[BaudSelection(9600)].text), L"9600 bps");
    EXPECT_EQ(std::wstring(kBaudEntries[BaudSelection(19200)].text), L"19.2 Kbps");
    EXPECT_EQ(std::wstring(kBaudEntries[BaudSelection(256000)].text), L"256 Kbps");
    EXPECT_EQ(BaudSelection(230400), kNoSelection);
}

TEST(BaudList, NoSelectionOrAnIndexOutsideTheListKeepsTheCurrentRate) {
    EXPECT_EQ(BaudFromSelection(11, 9600), 115200u);
    EXPECT_EQ(BaudFromSelection(kNoSelection, 230400), 230400u);
    EXPECT_EQ(BaudFromSelection(14, 230400), 230400u);
    EXPECT_EQ(BaudFromSelection(65536 + 3, 230400), 230400u);
}

TEST(SettingsLists, NoSelectionKeepsTheCurrentValue) {
    EXPECT_EQ(ValueFromSelection(2, 7), 2u);
    EXPECT_EQ(ValueFromSelection(kNoSelection, 7), 7u);
}

}  // namespace

#include "ui/display_text.h"

#include "config/settings_record.h"

namespace {

const wchar_t* const kFlowControlNames[4] = {L"NONE", L"RTS/CTS", L"XON/XOFF", L"Custom"};

constexpr wchar_t kPipePrefix[] = L"Couldn't connect to a virtual machine with pipe name '";
constexpr wchar_t kPipeSuffix[] =
    L"'.\nPlease make sure that the virtual machine is running (not saved or turned off), that "
    L"the pipe is not already in use, and that there is only one virtual machine that uses this "
    L"pipe name.\nYou can:\n\t- press 'Retry' to try again using the same pipe name, or\n\t- "
    L"press 'Change configuration' to change the pipe name and try again.\n\n";
constexpr wchar_t kSerialPrefix[] = L"Couldn't open serial port ";
constexpr wchar_t kSerialSuffix[] =
    L".  Please make sure that the serial port:\n\tis available (in this computer's hardware), "
    L"and\n\tis not being used by another program.\nYou can:\n\t- press 'Retry' to try again "
    L"using the same serial port, or\n\t- press 'Change configuration' to change the serial port "
    L"and try again.\n\n";

}  // namespace

const BaudEntry kBaudEntries[kBaudEntryCount] = {
    {L"110 bps", 110},     {L"300 bps", 300},     {L"600 bps", 600},     {L"1200 bps", 1200},
    {L"2400 bps", 2400},   {L"4800 bps", 4800},   {L"9600 bps", 9600},   {L"14.4 Kbps", 14400},
    {L"19.2 Kbps", 19200}, {L"38.4 Kbps", 38400}, {L"57.6 Kbps", 57600}, {L"115.2 Kbps", 115200},
    {L"128 Kbps", 128000}, {L"256 Kbps", 256000},
};

const wchar_t* const kParityChoices[5] = {L"NONE", L"ODD", L"EVEN", L"MARK", L"SPACE"};
const wchar_t* const kStopBitsChoices[3] = {L"1", L"1.5", L"2"};
const wchar_t* const kDataBitsChoices[4] = {L"5", L"6", L"7", L"8"};
const wchar_t* const kFlowControlChoices[4] = {L"NONE", L"Hardware (RTS/CTS)",
                                               L"Software (Xon/Xoff)", L"Custom"};
const wchar_t* const kDtrChoices[3] = {L"Disabled", L"Always on", L"DTR handshaking"};
const wchar_t* const kRtsChoices[4] = {L"Disabled", L"Always on", L"RTS handshaking",
                                       L"RTS toggle"};
const wchar_t* const kNoIgnoreYesChoices[2] = {L"No (ignore)", L"Yes"};
const wchar_t* const kNoYesChoices[2] = {L"No", L"Yes"};

const wchar_t* FlowControlName(std::uint8_t mode) {
    return kFlowControlNames[mode < 3 ? mode : 3];
}

const wchar_t* ParityName(std::uint8_t parity) {
    return parity < 5 ? kParityChoices[parity] : nullptr;
}

const wchar_t* StopBitsText(std::uint8_t stopBits) {
    return stopBits < 3 ? kStopBitsChoices[stopBits] : nullptr;
}

int BaudSelection(std::uint32_t baudRate) {
    for (std::size_t i = 0; i < kBaudEntryCount; ++i) {
        if (kBaudEntries[i].value == baudRate) {
            return static_cast<int>(i);
        }
    }
    return kNoSelection;
}

std::uint32_t ValueFromSelection(int selection, std::uint32_t current) {
    if (selection < 0) {
        return current;
    }
    return static_cast<std::uint32_t>(selection) & 0xFFFFu;
}

std::uint32_t BaudFromSelection(int selection, std::uint32_t current) {
    if (selection < 0 || static_cast<std::size_t>(selection) >= kBaudEntryCount) {
        return current;
    }
    return kBaudEntries[selection].value;
}

void ComposeFailureMessage(FailureVariant variant, const wchar_t* name, wchar_t* message,
                           std::size_t capacity) {
    const bool pipe = variant == FailureVariant::Pipe;
    CopyText(message, capacity, pipe ? kPipePrefix : kSerialPrefix);
    AppendText(message, capacity, name);
    AppendText(message, capacity, pipe ? kPipeSuffix : kSerialSuffix);
}

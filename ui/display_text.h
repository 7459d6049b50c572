// Fixed texts and tables of the status window, the settings dialog and the
// connection failure dialog. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>

// Field 1019: by the configured flow-control mode; every mode above 3 is
// treated as custom by the serial set-up, so it shows as "Custom".
const wchar_t* FlowControlName(std::uint8_t mode);
// Fields 1015 and 1017: by the port's live value; null outside the table.
const wchar_t* ParityName(std::uint8_t parity);
const wchar_t* StopBitsText(std::uint8_t stopBits);

struct BaudEntry {
    const wchar_t* text;
    std::uint32_t value;
};
inline constexpr std::size_t kBaudEntryCount = 14;
extern const BaudEntry kBaudEntries[kBaudEntryCount];

// The settings dialog's lists whose selection index is the field's value
// (data bits is index + 5; the baud list has its own table above). Parity and
// stop bits also name the port's live values in the status window.
extern const wchar_t* const kParityChoices[5];
extern const wchar_t* const kStopBitsChoices[3];
extern const wchar_t* const kDataBitsChoices[4];
extern const wchar_t* const kFlowControlChoices[4];
extern const wchar_t* const kDtrChoices[3];
extern const wchar_t* const kRtsChoices[4];
extern const wchar_t* const kNoIgnoreYesChoices[2];
extern const wchar_t* const kNoYesChoices[2];

inline constexpr int kNoSelection = -1;  // CB_ERR
// The index of the entry whose value is baudRate, or kNoSelection.
int BaudSelection(std::uint32_t baudRate);
// What Save stores for a list: the selection, or the current value when the
// list has no selection.
std::uint32_t ValueFromSelection(int selection, std::uint32_t current);
std::uint32_t BaudFromSelection(int selection, std::uint32_t current);

// The box for someone without administrator rights who asks to change
// settings; a command given on the command line says the same.
inline constexpr wchar_t kAdministratorRequiredCaption[] = L"Administrative privileges required";
inline constexpr wchar_t kAdministratorRequiredText[] =
    L"You must be an administrator to change Vantrel settings.  Please exit Vantrel, then re-run "
    L"as an administrator to make changes.";

// The connection failure dialog's message: prefix, name, suffix.
enum class FailureVariant { Pipe, Serial };
inline constexpr std::size_t kFailureMessageCapacity = 800;
void ComposeFailureMessage(FailureVariant variant, const wchar_t* name, wchar_t* message,
                           std::size_t capacity);

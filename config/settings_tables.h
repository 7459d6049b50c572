// Registry value names, the order in which the store is read and written, and
// the texts of the store's failure boxes. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings_record.h"

// Under HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kStoreParentKey[] = L"Software\\Orbenwick";
inline constexpr wchar_t kStoreTopKey[] = L"Software";
inline constexpr wchar_t kStoreCompanyKey[] = L"Orbenwick";
inline constexpr wchar_t kStoreSubkey[] = L"Vantrel";
inline constexpr wchar_t kInitFromHardwareValue[] = L"Init from hardware";
// Optional, REG_SZ: where the service traces a bridge's bytes from its start.
inline constexpr wchar_t kTraceFileValue[] = L"Trace file";
// Optional, REG_SZ: the adapter the bridge follows (PortSettingsRecord::device).
// Written after the other values when set, deleted when cleared.
inline constexpr wchar_t kDeviceValue[] = L"Device";

enum class SettingField {
    SerialPort,
    PipeName,
    BaudRate,
    DataBits,
    StopBits,
    Parity,
    FlowControl,
    UseCtsForOutput,
    UseDsrForOutput,
    UseDsrForInput,
    DtrControlMode,
    RtsControlMode,
    DiscardNull,
};

inline bool IsNameField(SettingField field) {
    return field == SettingField::SerialPort || field == SettingField::PipeName;
}

struct StoredSetting {
    const wchar_t* valueName;
    SettingField field;
    const wchar_t* loadFailureText;  // second "Fatal error" box when the read fails
};

// The values read after "Serial port", "Pipe name" and "Init from hardware",
// in the order they are read.
extern const StoredSetting kNameSettings[2];
extern const StoredSetting kNumericLoadOrder[11];

struct SaveStep {
    const wchar_t* valueName;  // null for the two key steps
    SettingField field;
    const wchar_t* code;
    const wchar_t* phrase;
};

inline constexpr std::size_t kSaveValueCount = 13;
extern const SaveStep kOpenParentStep;  // WR-110
extern const SaveStep kOpenSubkeyStep;  // WR-111
extern const SaveStep kSaveValueSteps[kSaveValueCount];
extern const SaveStep kDeviceSaveStep;  // WR-240

inline constexpr wchar_t kBootstrapPhrase[] = L"trying to open the top-level settings for saving";

// "Unable to save the configuration because an error occured while <phrase>.
//  Please make sure ...\nSystem error: " into text, cut to capacity.
void ComposeSaveFailureText(const wchar_t* phrase, wchar_t* text, std::size_t capacity);
// "Error " followed by the code.
void ComposeSaveFailureCaption(const wchar_t* code, wchar_t* caption, std::size_t capacity);

// The value the store holds for a numeric field (8-bit fields widened with zeros).
std::uint32_t StoredNumber(const PortSettingsRecord& record, SettingField field);
// Takes a stored double word into the record: the 8-bit fields keep its low 8 bits.
void TakeStoredNumber(PortSettingsRecord& record, SettingField field, std::uint32_t stored);

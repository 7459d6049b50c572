// The settings store against Wine's real registry. Wine does not enforce
// registry permissions, so refused writes are injected through the store's
// registry call table.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/settings_record.h"
#include "config/settings_store.h"
#include "support/win_test_support.h"
#include "ui/settings_reports.h"

using test_support::DeleteStore;
using test_support::MessageBoxRecorder;
using test_support::StoredDword;
using test_support::StoredString;
using test_support::StoreDword;
using test_support::StoreString;

namespace {

const wchar_t* failingValue = nullptr;
LONG WINAPI SetValueFailingOne(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                               DWORD size) {
    if (name != nullptr && failingValue != nullptr && std::wstring(name) == failingValue) {
        return ERROR_ACCESS_DENIED;
    }
    return RegSetValueExW(key, name, reserved, type, data, size);
}

LONG WINAPI CreateKeyForWritingDenied(HKEY parent, LPCWSTR name, DWORD reserved, LPWSTR cls,
                                      DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                      PHKEY key, LPDWORD disposition) {
    if (std::wstring(name) == L"Vantrel" && (access & KEY_SET_VALUE) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    return RegCreateKeyExW(parent, name, reserved, cls, options, access, security, key,
                           disposition);
}

LONG WINAPI OpenParentForWritingDenied(HKEY parent, LPCWSTR name, DWORD options, REGSAM access,
                                       PHKEY key) {
    if (std::wstring(name) == L"Software\\Orbenwick" && (access & KEY_SET_VALUE) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    return RegOpenKeyExW(parent, name, options, access, key);
}

// What the store asked the registry to write, by value name.
std::vector<std::pair<std::wstring, DWORD>> writes;
LONG WINAPI SetValueRecording(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD size) {
    writes.emplace_back(name, size);
    return RegSetValueExW(key, name, reserved, type, data, size);
}

std::wstring SystemText(DWORD code) {
    wchar_t text[1000] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, 1000, nullptr);
    return text;
}

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Registry;
        DeleteStore();
        test_support::DeskSettings() = PortSettingsRecord{};
        while (TakePendingStartupLine() != nullptr) {
        }
    }
    void TearDown() override {
        Registry = saved_;
        failingValue = nullptr;
        DeleteStore();
    }
    MessageBoxRecorder boxes_;

private:
    RegistryCalls saved_{};
};

TEST_F(SettingsStoreTest, FirstStartOfAnAdministratorCreatesTheStoreWithTheDefaults) {
    writes.clear();
    Registry.setValue = SetValueRecording;
    EXPECT_FALSE(LoadSettings(test_support::DeskBridge()));
    ApplyStartupDefaults(test_support::DeskBridge());
    EXPECT_TRUE(boxes_.Boxes().empty());
    EXPECT_EQ(TakePendingStartupLine(), nullptr);

    // Strings go without their terminating null, as earlier releases wrote
    // them (Wine adds one when storing; Windows stores what it is given).
    ASSERT_EQ(writes.size(), 13u);
    EXPECT_EQ(writes[0], std::make_pair(std::wstring(L"Serial port"), DWORD{8}));
    EXPECT_EQ(writes[1], std::make_pair(std::wstring(L"Pipe name"), DWORD{14}));
    EXPECT_EQ(StoredString(L"Serial port"), L"COM3");
    EXPECT_EQ(StoredString(L"Pipe name"), L"Vantrel");
    const std::pair<const wchar_t*, DWORD> numbers[] = {
        {L"Baud rate", 9600},       {L"Data bits", 8},
        {L"Stop bits", 0},          {L"Parity", 0},
        {L"Flow control", 0},       {L"Use CTS for output", 0},
        {L"Use DSR for output", 1}, {L"Use DSR for input", 1},
        {L"DTR control mode", 1},   {L"RTS control mode", 0},
        {L"Discard NULL", 0}};
    for (const auto& [name, value] : numbers) {
        EXPECT_EQ(StoredDword(name), value) << std::string(name, name + wcslen(name));
    }
    EXPECT_FALSE(StoredDword(L"Init from hardware").has_value());

    // What was written loads back without a word.
    test_support::DeskSettings() = PortSettingsRecord{};
    EXPECT_TRUE(LoadSettings(test_support::DeskBridge()));
    EXPECT_TRUE(boxes_.Boxes().empty());
    EXPECT_EQ(test_support::DeskSettings().baudRate, 9600u);
    EXPECT_EQ(std::wstring(test_support::DeskSettings().pipePath), L"\\\\.\\pipe\\Vantrel");
}

TEST_F(SettingsStoreTest, StoredValuesAreTakenUnvalidatedKeepingTheLowByte) {
    test_support::StoreDefaults();
    StoreDword(L"Data bits", 264);
    StoreDword(L"Parity", 7);
    StoreDword(L"Baud rate", 230400);
    StoreString(L"Pipe name", L"VM Pipe");
    EXPECT_TRUE(LoadSettings(test_support::DeskBridge()));
    EXPECT_TRUE(boxes_.Boxes().empty());
    EXPECT_EQ(test_support::DeskSettings().dataBits, 8);
    EXPECT_EQ(test_support::DeskSettings().parity, 7);
    EXPECT_EQ(test_support::DeskSettings().baudRate, 230400u);
    EXPECT_EQ(std::wstring(test_support::DeskSettings().pipePath), L"\\\\.\\pipe\\VM Pipe");
}

TEST_F(SettingsStoreTest, AMissingValueShowsTwoFatalBoxesAndTheDefaultsReplaceEverything) {
    test_support::StoreDefaults();
    StoreString(L"Serial port", L"COM7");
    test_support::DeleteStoredValue(L"Discard NULL");
    EXPECT_FALSE(LoadSettings(test_support::DeskBridge()));
    ASSERT_EQ(boxes_.Boxes().size(), 2u);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"Fatal error");
    EXPECT_EQ(boxes_.Boxes()[0].text, SystemText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(boxes_.Boxes()[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(boxes_.Boxes()[1].caption, L"Fatal error");
    EXPECT_EQ(boxes_.Boxes()[1].text,
              L"There was an error accessing the NULL control registry key.  Please re-run the "
              L"installer");
    EXPECT_EQ(boxes_.Boxes()[1].type, static_cast<UINT>(MB_ICONWARNING));
    EXPECT_EQ(boxes_.Boxes()[1].owner, nullptr);
    EXPECT_EQ(std::wstring(test_support::DeskSettings().serialPort), L"COM7");

    ApplyStartupDefaults(test_support::DeskBridge());
    EXPECT_EQ(std::wstring(test_support::DeskSettings().serialPort), L"COM3");
    EXPECT_EQ(StoredString(L"Serial port"), L"COM3");
    EXPECT_EQ(StoredDword(L"Discard NULL"), 0u);
}

TEST_F(SettingsStoreTest, NamesUpToTheRecordsCapacityLoadAndLongerOnesFail) {
    test_support::StoreDefaults();
    const std::wstring longest(254, L'p');
    StoreString(L"Pipe name", longest);
    StoreString(L"Serial port", std::wstring(99, L's'));
    EXPECT_TRUE(LoadSettings(test_support::DeskBridge()));
    EXPECT_EQ(std::wstring(test_support::DeskSettings().pipeName), longest);

    StoreString(L"Serial port", std::wstring(255, L's'));
    EXPECT_FALSE(LoadSettings(test_support::DeskBridge()));
    ASSERT_EQ(boxes_.Boxes().size(), 2u);
    EXPECT_EQ(boxes_.Boxes()[0].text, SystemText(ERROR_MORE_DATA));
    boxes_.Clear();

    // Stored the way the program writes names: without a terminating null
    // (Windows keeps it so; Wine adds one).
    const std::wstring tooLong(255, L't');
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Orbenwick\\Vantrel", L"Serial port", REG_SZ,
                    tooLong.c_str(), static_cast<DWORD>(tooLong.size() * sizeof(wchar_t)));
    EXPECT_FALSE(LoadSettings(test_support::DeskBridge()));
    ASSERT_EQ(boxes_.Boxes().size(), 2u);
    EXPECT_EQ(boxes_.Boxes()[0].text, SystemText(ERROR_MORE_DATA));
    EXPECT_EQ(boxes_.Boxes()[1].text,
              L"There was an error accessing the serial port registry key.  Please re-run the "
              L"installer");
}

TEST_F(SettingsStoreTest, NameSavedFromTheDialogLoadsAtTheNextStart) {
    ApplyDefaultSettings(test_support::DeskSettings());
    SetSerialPortName(test_support::DeskSettings(), std::wstring(99, L'c').c_str());
    SetPipeName(test_support::DeskSettings(), std::wstring(99, L'v').c_str());
    CreateSettingsStore(test_support::DeskBridge());
    test_support::DeskSettings() = PortSettingsRecord{};
    EXPECT_TRUE(LoadSettings(test_support::DeskBridge()));
    EXPECT_TRUE(boxes_.Boxes().empty());
    EXPECT_EQ(std::wstring(test_support::DeskSettings().pipeName), std::wstring(99, L'v'));
}

TEST_F(SettingsStoreTest, RefusedFlowControlWriteIsReportedAsTheDsrInputStep) {
    ApplyDefaultSettings(test_support::DeskSettings());
    CreateSettingsStore(test_support::DeskBridge());
    test_support::DeleteStoredValue(L"Discard NULL");
    boxes_.Clear();
    Registry.setValue = SetValueFailingOne;
    failingValue = L"Flow control";
    SaveSettings(test_support::DeskBridge());
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"Error WR-220");
    EXPECT_EQ(boxes_.Boxes()[0].text,
              L"Unable to save the configuration because an error occured while writing the DSR "
              L"input control mode.  Please make sure you are running with administrative "
              L"privileges.\nSystem error: " +
                  SystemText(ERROR_ACCESS_DENIED));
    EXPECT_EQ(boxes_.Boxes()[0].type, static_cast<UINT>(MB_ICONWARNING));
    EXPECT_FALSE(StoredDword(L"Discard NULL").has_value()) << "the save stops at its failure";
}

TEST_F(SettingsStoreTest, EachValueHasItsOwnFailureCode) {
    ApplyDefaultSettings(test_support::DeskSettings());
    CreateSettingsStore(test_support::DeskBridge());
    Registry.setValue = SetValueFailingOne;
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"Serial port", L"Error WR-120"},
        {L"Baud rate", L"Error WR-140"},
        {L"Parity", L"Error WR-150"},
        {L"RTS control mode", L"Error WR-190"},
        {L"Discard NULL", L"Error WR-230"}};
    for (const auto& [value, caption] : cases) {
        boxes_.Clear();
        failingValue = value;
        SaveSettings(test_support::DeskBridge());
        ASSERT_EQ(boxes_.Boxes().size(), 1u);
        EXPECT_EQ(boxes_.Boxes()[0].caption, caption);
    }
}

TEST_F(SettingsStoreTest, UserWithoutWriteAccessGetsTheWr111Box) {
    test_support::StoreDefaults();
    Registry.createKey = CreateKeyForWritingDenied;
    test_support::DeskSettings().baudRate = 19200;
    SaveSettings(test_support::DeskBridge());
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"Error WR-111");
    EXPECT_NE(boxes_.Boxes()[0].text.find(L"while opening the saved serial port settings."),
              std::wstring::npos);
    EXPECT_EQ(StoredDword(L"Baud rate"), 9600u);
}

TEST_F(SettingsStoreTest, SaveWithoutTheCompanyKeyStopsAtWr110) {
    SaveSettings(test_support::DeskBridge());
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"Error WR-110");
}

TEST_F(SettingsStoreTest, BootstrapFailureIsReportedAndTheSaveStillRuns) {
    Registry.openKey = OpenParentForWritingDenied;
    ApplyDefaultSettings(test_support::DeskSettings());
    CreateSettingsStore(test_support::DeskBridge());
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"Error WB-120");
    EXPECT_NE(boxes_.Boxes()[0].text.find(L"trying to open the top-level settings for saving"),
              std::wstring::npos);
    // The company key was made before the failure, so the save got through.
    EXPECT_EQ(StoredString(L"Serial port"), L"COM3");
}

TEST_F(SettingsStoreTest, NonAdministratorRunsOnDefaultsAndLeavesTheRegistryAlone) {
    {
        test_support::NonAdministratorThread user;
        EXPECT_FALSE(IsUserAdministrator());
        EXPECT_FALSE(LoadSettings(test_support::DeskBridge()));
        ApplyStartupDefaults(test_support::DeskBridge());
    }
    EXPECT_TRUE(IsUserAdministrator());
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"Default config");
    EXPECT_EQ(boxes_.Boxes()[0].type, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_NE(boxes_.Boxes()[0].text.find(L"default confinguration (COM3, 9600, N, 8, 1)"),
              std::wstring::npos);
    EXPECT_EQ(std::wstring(TakePendingStartupLine()), L"Default configuration loaded\r\n");
    EXPECT_EQ(TakePendingStartupLine(), nullptr);
    EXPECT_FALSE(StoredString(L"Serial port").has_value());
    EXPECT_EQ(std::wstring(test_support::DeskSettings().serialPort), L"COM3");
}

TEST_F(SettingsStoreTest, InitFromHardwareWithAMissingPortFallsBackWithOneBox) {
    test_support::StoreDefaults();
    StoreString(L"Serial port", L"COM250");
    StoreDword(L"Init from hardware", 1);
    EXPECT_FALSE(LoadSettings(test_support::DeskBridge()));
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"Fatal error");
    EXPECT_EQ(boxes_.Boxes()[0].text,
              L"Couldn't save the hardware configuration to Vantrel registry.  Please run Vantrel "
              L"as administrator to save settings.");
    EXPECT_EQ(boxes_.Boxes()[0].type, static_cast<UINT>(MB_ICONERROR));
    ApplyStartupDefaults(test_support::DeskBridge());
    EXPECT_EQ(StoredDword(L"Init from hardware"), 1u) << "the program never writes it";
}

TEST_F(SettingsStoreTest, InitFromHardwareTakesTheLineFromThePortAndRewritesTheStore) {
    const std::wstring port = test_support::TestComPort();
    if (port.empty()) {
        GTEST_SKIP() << "the runner provides no pty-backed COM port";
    }
    // Put a known line state on the port first.
    const HANDLE device = CreateFileW(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(device, &dcb));
    // A pty carries the rate and stop bits (not data bits or parity).
    dcb.BaudRate = 19200;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(device, &dcb));
    CloseHandle(device);

    test_support::StoreDefaults();
    StoreString(L"Serial port", port);
    StoreDword(L"Flow control", 2);
    StoreDword(L"Init from hardware", 1);
    EXPECT_TRUE(LoadSettings(test_support::DeskBridge()));
    EXPECT_TRUE(boxes_.Boxes().empty());
    EXPECT_EQ(test_support::DeskSettings().baudRate, 19200u);
    EXPECT_EQ(test_support::DeskSettings().stopBits, TWOSTOPBITS);
    EXPECT_EQ(StoredDword(L"Baud rate"), 19200u);
    EXPECT_EQ(StoredDword(L"Stop bits"), 2u);
    EXPECT_EQ(StoredDword(L"Flow control"), 0u) << "not a DCB member: the record's own 0";
    EXPECT_EQ(StoredDword(L"Init from hardware"), 1u);
}

}  // namespace

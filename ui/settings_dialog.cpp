#include "ui/settings_dialog.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/settings_record.h"
#include "serial/com_ports.h"
#include "ui/display_text.h"
#include "ui/message_box.h"
#include "ui/resource.h"
#include "ui/settings_reports.h"
#include "ui/vm_dialog.h"

namespace {

// Appends the texts in order and selects the entry whose index equals value.
void FillList(HWND dialog, int id, const wchar_t* const* texts, std::size_t count,
              std::uint32_t value) {
    const HWND list = GetDlgItem(dialog, id);
    for (std::size_t i = 0; i < count; ++i) {
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(texts[i]));
        if (value == i) {
            SendMessageW(list, CB_SETCURSEL, i, 0);
        }
    }
}

template <std::size_t N>
void FillList(HWND dialog, int id, const wchar_t* const (&texts)[N], std::uint32_t value) {
    FillList(dialog, id, texts, N, value);
}

int Selection(HWND dialog, int id) {
    return static_cast<int>(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0));
}

// A list without a selection keeps the record's value for its field.
std::uint8_t Selected8(HWND dialog, int id, std::uint8_t current, std::uint32_t offset = 0) {
    const int selection = Selection(dialog, id);
    if (selection < 0) {
        return current;
    }
    return static_cast<std::uint8_t>((static_cast<std::uint32_t>(selection) + offset) & 0xFFu);
}

std::uint32_t Selected32(HWND dialog, int id, std::uint32_t current) {
    return ValueFromSelection(Selection(dialog, id), current);
}

void UpdateCustomFlowLists(HWND dialog) {
    const BOOL custom = Selection(dialog, IDC_SET_FLOW_CONTROL) == 3;
    EnableWindow(GetDlgItem(dialog, IDC_SET_RTS_CONTROL), custom);
    EnableWindow(GetDlgItem(dialog, IDC_SET_CTS_OUTPUT), custom);
}

// What "Follow this adapter" fills "Device" with: the dialog's own, from
// its opening until it closes (one dialog at a time, on this thread).
std::wstring followedDevice;

struct PortChoiceList {
    std::vector<ComPortDevice> ports;
    int chosen = -1;
};

INT_PTR CALLBACK ChoosePortProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* list = reinterpret_cast<PortChoiceList*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        list = reinterpret_cast<PortChoiceList*>(lParam);
        for (const ComPortDevice& port : list->ports) {
            SendDlgItemMessageW(dialog, IDC_CHOOSE_LIST, LB_ADDSTRING, 0,
                                reinterpret_cast<LPARAM>(PortListText({port}).c_str()));
        }
        SendDlgItemMessageW(dialog, IDC_CHOOSE_LIST, LB_SETHORIZONTALEXTENT, 1200, 0);
        return TRUE;
    }
    if (message != WM_COMMAND) {
        return FALSE;
    }
    const bool picked = LOWORD(wParam) == IDOK ||
                        (LOWORD(wParam) == IDC_CHOOSE_LIST && HIWORD(wParam) == LBN_DBLCLK);
    if (picked) {
        list->chosen =
            static_cast<int>(SendDlgItemMessageW(dialog, IDC_CHOOSE_LIST, LB_GETCURSEL, 0, 0));
    }
    if (picked || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, picked ? IDOK : IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

// The identity of the adapter now behind the port the edit names; empty
// when none is known.
std::wstring IdentityBehind(HWND dialog) {
    wchar_t name[kDialogNameCapacity];
    GetDlgItemTextW(dialog, IDC_SET_SERIAL_PORT, name, kDialogNameCapacity);
    for (const ComPortDevice& port : ListComPorts()) {
        if (UpperCase(port.portName) == UpperCase(name)) {
            return IdentityText(IdentifyAdapter(port));
        }
    }
    return {};
}

void Follow(HWND dialog, const std::wstring& identity) {
    followedDevice = identity;
    CheckDlgButton(dialog, IDC_SET_FOLLOW_ADAPTER, identity.empty() ? BST_UNCHECKED : BST_CHECKED);
}

void ChoosePortFromList(HWND dialog) {
    PortChoiceList list{ListComPorts()};
    if (DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CHOOSE_PORT), dialog,
                        ChoosePortProc, reinterpret_cast<LPARAM>(&list)) != IDOK ||
        list.chosen < 0 || list.chosen >= static_cast<int>(list.ports.size())) {
        return;
    }
    const ComPortDevice& port = list.ports[static_cast<std::size_t>(list.chosen)];
    SetDlgItemTextW(dialog, IDC_SET_SERIAL_PORT, port.portName.c_str());
    if (IsDlgButtonChecked(dialog, IDC_SET_FOLLOW_ADAPTER) == BST_CHECKED) {
        Follow(dialog, IdentityText(IdentifyAdapter(port)));
    }
}

void FollowAdapterClicked(HWND dialog) {
    if (IsDlgButtonChecked(dialog, IDC_SET_FOLLOW_ADAPTER) != BST_CHECKED) {
        Follow(dialog, L"");
        return;
    }
    Follow(dialog, IdentityBehind(dialog));
    if (followedDevice.empty()) {
        ShowMessageBox(dialog,
                       L"No adapter is known behind this port. Plug it in and pick it with "
                       L"Choose...",
                       L"Follow this adapter", MB_ICONINFORMATION);
    }
}

}  // namespace

void RunSettingsDialog(Bridge& bridge) {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SETTINGS), nullptr,
                    SettingsDialogProc, reinterpret_cast<LPARAM>(&bridge));
}

void InitSettingsDialog(HWND dialog, const PortSettingsRecord& settings) {
    const HWND baud = GetDlgItem(dialog, IDC_SET_BAUD);
    for (std::size_t i = 0; i < kBaudEntryCount; ++i) {
        SendMessageW(baud, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kBaudEntries[i].text));
        if (settings.baudRate == kBaudEntries[i].value) {
            SendMessageW(baud, CB_SETCURSEL, i, 0);
        }
    }
    FillList(dialog, IDC_SET_PARITY, kParityChoices, settings.parity);
    FillList(dialog, IDC_SET_STOP_BITS, kStopBitsChoices, settings.stopBits);
    // Data bits 5 to 8 sit at indexes 0 to 3.
    FillList(dialog, IDC_SET_DATA_BITS, kDataBitsChoices,
             static_cast<std::uint32_t>(settings.dataBits) - 5u);
    FillList(dialog, IDC_SET_FLOW_CONTROL, kFlowControlChoices, settings.flowControl);
    FillList(dialog, IDC_SET_DTR_CONTROL, kDtrChoices, settings.dtrControlMode);
    FillList(dialog, IDC_SET_RTS_CONTROL, kRtsChoices, settings.rtsControlMode);
    FillList(dialog, IDC_SET_CTS_OUTPUT, kNoIgnoreYesChoices, settings.useCtsForOutput);
    FillList(dialog, IDC_SET_DSR_OUTPUT, kNoIgnoreYesChoices, settings.useDsrForOutput);
    FillList(dialog, IDC_SET_DSR_INPUT, kNoIgnoreYesChoices, settings.useDsrForInput);
    FillList(dialog, IDC_SET_DISCARD_NULL, kNoYesChoices, settings.discardNull);
    SetDlgItemTextW(dialog, IDC_SET_SERIAL_PORT, settings.serialPort);
    SetDlgItemTextW(dialog, IDC_SET_PIPE_NAME, settings.pipeName);
    Follow(dialog, settings.device);
    // Lists 1037 and 1038 keep the template's disabled state until the flow
    // list first reports a change.
}

unsigned SettingsSaves = 0;

void ApplySettingsDialog(HWND dialog, Bridge& bridge) {
    PortSettingsRecord& settings = bridge.PortSettings;
    wchar_t name[kDialogNameCapacity];
    GetDlgItemTextW(dialog, IDC_SET_SERIAL_PORT, name, kDialogNameCapacity);
    SetSerialPortName(settings, name);
    GetDlgItemTextW(dialog, IDC_SET_PIPE_NAME, name, kDialogNameCapacity);
    SetPipeName(settings, name);

    settings.baudRate = BaudFromSelection(Selection(dialog, IDC_SET_BAUD), settings.baudRate);
    settings.parity = Selected8(dialog, IDC_SET_PARITY, settings.parity);
    settings.stopBits = Selected8(dialog, IDC_SET_STOP_BITS, settings.stopBits);
    settings.dataBits = Selected8(dialog, IDC_SET_DATA_BITS, settings.dataBits, 5);
    settings.dtrControlMode = Selected32(dialog, IDC_SET_DTR_CONTROL, settings.dtrControlMode);
    settings.rtsControlMode = Selected32(dialog, IDC_SET_RTS_CONTROL, settings.rtsControlMode);
    settings.flowControl = Selected8(dialog, IDC_SET_FLOW_CONTROL, settings.flowControl);
    settings.useCtsForOutput = Selected32(dialog, IDC_SET_CTS_OUTPUT, settings.useCtsForOutput);
    settings.useDsrForOutput = Selected32(dialog, IDC_SET_DSR_OUTPUT, settings.useDsrForOutput);
    settings.useDsrForInput = Selected32(dialog, IDC_SET_DSR_INPUT, settings.useDsrForInput);
    settings.discardNull = Selected32(dialog, IDC_SET_DISCARD_NULL, settings.discardNull);
    SetDeviceIdentity(settings, followedDevice.c_str());
    SaveSettings(bridge);
    ++SettingsSaves;
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    // The bridge whose settings the dialog edits, from its creation on.
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        InitSettingsDialog(dialog, reinterpret_cast<Bridge*>(lParam)->PortSettings);
        return TRUE;
    }
    if (message != WM_COMMAND) {
        return FALSE;
    }
    Bridge& bridge = *reinterpret_cast<Bridge*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (LOWORD(wParam)) {
        case IDOK:
            ApplySettingsDialog(dialog, bridge);
            // Also after a failed save, which has shown its own box.
            ShowMessageBox(nullptr,
                           L"The settings have been saved.  Please restart Vantrel for the new "
                           L"settings to take effect.",
                           L"Settings saved", MB_ICONINFORMATION);
            DestroyWindow(dialog);
            return TRUE;
        case IDCANCEL:
            ShowMessageBox(dialog,
                           L"Unsaved changed will be lost.  Are you sure you want to close this "
                           L"window?",
                           L"Save changes?", MB_OK);
            DestroyWindow(dialog);
            return FALSE;
        case IDC_SET_FLOW_CONTROL:
            UpdateCustomFlowLists(dialog);
            return FALSE;
        case IDC_SET_VIRTUAL_MACHINE:
            RunVmDialog(dialog);
            return TRUE;
        case IDC_SET_CHOOSE_PORT:
            ChoosePortFromList(dialog);
            return TRUE;
        case IDC_SET_FOLLOW_ADAPTER:
            FollowAdapterClicked(dialog);
            return TRUE;
        default:
            return FALSE;
    }
}

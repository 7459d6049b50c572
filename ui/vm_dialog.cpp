#include "ui/vm_dialog.h"

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "common/handles.h"
#include "config/settings_store.h"
#include "pipe/hyperv_reader.h"
#include "ui/display_text.h"
#include "ui/message_box.h"
#include "ui/resource.h"
#include "ui/settings_dialog.h"

namespace {

// Posted with the address of a HyperVOutcome, which the dialog then owns.
constexpr UINT kVmsReadMessage = WM_APP + 20;
constexpr UINT kPortSetMessage = WM_APP + 21;
constexpr wchar_t kCaption[] = L"Virtual machine";

struct VmDialogState {
    HWND settings;
    std::vector<VmRecord> vms;
    std::vector<std::pair<std::size_t, int>> choices;  // the VM and COM port of each entry
    std::wstring done;                                 // what to say when the change is made
};

struct HyperVJob {
    HWND dialog;
    UINT message;
    std::function<HyperVOutcome()> ask;
};

DWORD WINAPI RunHyperVJob(LPVOID argument) {
    const std::unique_ptr<HyperVJob> job(static_cast<HyperVJob*>(argument));
    auto outcome = std::make_unique<HyperVOutcome>(job->ask());
    // A dialog closed meanwhile takes nothing: the outcome is dropped here.
    if (PostMessageW(job->dialog, job->message, 0, reinterpret_cast<LPARAM>(outcome.get()))) {
        outcome.release();
    }
    return 0;
}

// Hyper-V is asked on a thread of its own: the dialog stays live for the
// seconds the reader may take, and hears of the outcome by message.
void AskHyperV(HWND dialog, UINT message, std::function<HyperVOutcome()> ask) {
    auto job = std::make_unique<HyperVJob>(HyperVJob{dialog, message, std::move(ask)});
    const UniqueKernelHandle thread(CreateThread(nullptr, 0, RunHyperVJob, job.get(), 0, nullptr));
    if (thread.IsOpen()) {
        job.release();
        return;
    }
    auto outcome = std::make_unique<HyperVOutcome>();
    outcome->detail = L"no thread could be started to ask it";
    if (PostMessageW(dialog, message, 0, reinterpret_cast<LPARAM>(outcome.get()))) {
        outcome.release();
    }
}

VmDialogState& StateOf(HWND dialog) {
    return *reinterpret_cast<VmDialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

void EnableChoices(HWND dialog, bool enabled) {
    for (const int id : {IDC_VM_PORTS, IDOK, IDC_VM_ATTACH}) {
        EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE);
    }
}

void SetStatus(HWND dialog, const std::wstring& text) {
    SetDlgItemTextW(dialog, IDC_VM_STATUS, text.c_str());
}

void ShowVms(HWND dialog, const HyperVOutcome& outcome) {
    VmDialogState& state = StateOf(dialog);
    if (outcome.result != HyperVResult::Done) {
        SetStatus(dialog, L"Couldn't read Hyper-V's virtual machines: " +
                              HyperVProblemText(outcome.result, outcome.detail) + L".");
        return;
    }
    state.vms = outcome.vms;
    const HWND list = GetDlgItem(dialog, IDC_VM_PORTS);
    for (std::size_t i = 0; i < state.vms.size(); ++i) {
        for (int com = 1; com <= 2; ++com) {
            SendMessageW(list, CB_ADDSTRING, 0,
                         reinterpret_cast<LPARAM>(VmPortChoice(state.vms[i], com).c_str()));
            state.choices.emplace_back(i, com);
        }
    }
    SendMessageW(list, CB_SETCURSEL, 0, 0);
    SetStatus(dialog, state.vms.empty() ? L"Hyper-V has no virtual machines on this computer."
                                        : L"Choose a VM's COM port:");
    EnableChoices(dialog, !state.vms.empty());
}

// The chosen VM and port, or null when none is chosen.
const VmRecord* Chosen(HWND dialog, int& com) {
    VmDialogState& state = StateOf(dialog);
    const auto index = SendDlgItemMessageW(dialog, IDC_VM_PORTS, CB_GETCURSEL, 0, 0);
    if (index < 0 || static_cast<std::size_t>(index) >= state.choices.size()) {
        return nullptr;
    }
    com = state.choices[static_cast<std::size_t>(index)].second;
    return &state.vms[state.choices[static_cast<std::size_t>(index)].first];
}

void UseItsPipeName(HWND dialog) {
    int com = 0;
    const VmRecord* vm = Chosen(dialog, com);
    if (vm == nullptr) {
        return;
    }
    const std::wstring name = LocalPipeName(vm->comPath[com - 1]);
    if (name.empty()) {
        ShowMessageBox(dialog, (VmPortText(*vm, com) + L" is not set to a pipe.").c_str(), kCaption,
                       MB_ICONWARNING);
        return;
    }
    SetDlgItemTextW(StateOf(dialog).settings, IDC_SET_PIPE_NAME, name.c_str());
    EndDialog(dialog, IDOK);
}

void AttachToThisPipe(HWND dialog) {
    int com = 0;
    const VmRecord* vm = Chosen(dialog, com);
    if (vm == nullptr) {
        return;
    }
    if (!IsUserAdministrator()) {
        ShowMessageBox(dialog, kAdministratorRequiredText, kAdministratorRequiredCaption,
                       MB_ICONWARNING);
        return;
    }
    wchar_t name[kDialogNameCapacity];
    GetDlgItemTextW(StateOf(dialog).settings, IDC_SET_PIPE_NAME, name, kDialogNameCapacity);
    const std::wstring path = std::wstring(kPipePathPrefix) + name;
    const std::wstring& current = vm->comPath[com - 1];
    if (!AttachRefusal(*vm, com, path, false).empty() &&
        ShowMessageBox(dialog,
                       (VmPortText(*vm, com) + L" is set to " + current + L". Set it to " + path +
                        L" instead?")
                           .c_str(),
                       kCaption, MB_YESNO | MB_ICONQUESTION) != IDYES) {
        return;
    }
    StateOf(dialog).done =
        VmPortText(*vm, com) + L" is now set to " + path + L"." + RunningVmNote(*vm);
    EnableChoices(dialog, false);
    SetStatus(dialog, L"Asking Hyper-V to change " + VmPortText(*vm, com) + L"...");
    AskHyperV(dialog, kPortSetMessage,
              [id = vm->id, com, path] { return SetVmComPort(id, com, path); });
}

void PortSet(HWND dialog, const HyperVOutcome& outcome) {
    if (outcome.result == HyperVResult::Done) {
        ShowMessageBox(dialog, StateOf(dialog).done.c_str(), kCaption, MB_ICONINFORMATION);
        EndDialog(dialog, IDOK);
        return;
    }
    const std::wstring text =
        L"Hyper-V did not change it: " + HyperVProblemText(outcome.result, outcome.detail) + L".";
    SetStatus(dialog, text);
    ShowMessageBox(dialog, text.c_str(), kCaption, MB_ICONERROR);
    EnableChoices(dialog, true);
}

}  // namespace

void RunVmDialog(HWND settings) {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_VIRTUAL_MACHINES), settings,
                    VmDialogProc, reinterpret_cast<LPARAM>(settings));
}

INT_PTR CALLBACK VmDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER,
                              reinterpret_cast<LONG_PTR>(
                                  new VmDialogState{reinterpret_cast<HWND>(lParam), {}, {}, {}}));
            EnableChoices(dialog, false);
            AskHyperV(dialog, kVmsReadMessage, [] { return ReadHyperV(); });
            return TRUE;
        case kVmsReadMessage:
        case kPortSetMessage: {
            const std::unique_ptr<HyperVOutcome> outcome(reinterpret_cast<HyperVOutcome*>(lParam));
            (message == kVmsReadMessage ? ShowVms : PortSet)(dialog, *outcome);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                UseItsPipeName(dialog);
            } else if (LOWORD(wParam) == IDC_VM_ATTACH) {
                AttachToThisPipe(dialog);
            } else if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
            }
            return TRUE;
        case WM_DESTROY: {
            // Outcomes posted but not yet taken are the dialog's to drop.
            MSG pending;
            while (PeekMessageW(&pending, dialog, kVmsReadMessage, kPortSetMessage, PM_REMOVE)) {
                delete reinterpret_cast<HyperVOutcome*>(pending.lParam);
            }
            delete &StateOf(dialog);
            return TRUE;
        }
        default:
            return FALSE;
    }
}

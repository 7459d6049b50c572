#include "ui/status_window.h"

#include <commdlg.h>

#include <cstdint>
#include <cwchar>
#include <memory>
#include <string>

#include "common/app_messages.h"
#include "common/log_text.h"
#include "common/process_state.h"
#include "common/secure_files.h"
#include "common/status_client.h"
#include "config/settings_record.h"
#include "config/settings_store.h"
#include "relay/relay_activity.h"
#include "relay/traffic_counters.h"
#include "ui/connection_failure_dialog.h"
#include "ui/display_text.h"
#include "ui/message_box.h"
#include "ui/resource.h"
#include "ui/settings_dialog.h"
#include "ui/settings_reports.h"

IndicatorIconSet IndicatorIcons;
HWND StatusWindow;
StatusWindowActions WindowActions;

namespace {

constexpr DWORD kSplashMs = 5000;

// The bridge the window shows, from its creation on; window thread only.
Bridge* shown = nullptr;

// Its counters and lamps while it relays here; null for a viewer's bridge,
// whose traffic comes with the service's replies.
RelayTraffic* ShownTraffic() {
    return shown != nullptr && shown->RelayContext ? &shown->RelayContext->traffic : nullptr;
}

constexpr int kCounterControls[kTrafficCounterCount] = {IDC_VIRTUAL_RECEIVED, IDC_VIRTUAL_SENT,
                                                        IDC_SERIAL_RECEIVED, IDC_SERIAL_SENT};

// What the counter fields show now; window thread only.
std::uint32_t shownCounters[kTrafficCounterCount];

// A serial lamp as the window shows it; window thread only. Its icon is set
// only when it changes, and its timer only when it lights: a later chunk
// moves darkAt, which the timer looks at when it fires.
struct ShownLamp {
    int control;
    UINT_PTR timer;
    TIMERPROC clear;
    bool lit;
    DWORD darkAt;  // GetTickCount
};
ShownLamp shownLamps[2] = {{IDC_RX_LAMP, kReceiveLampTimer, ClearReceiveIndicator, false, 0},
                           {IDC_TX_LAMP, kSendLampTimer, ClearSendIndicator, false, 0}};
// A lamp due to go dark within this is dark now (GetTickCount's steps are
// 10 to 16 ms).
constexpr DWORD kLampSlackMs = 16;
// The steady refresh runs (kRefreshTimer).
bool refreshing = false;
// Repaints what changed of the totals; lights each lamp for its chunk (0: none).
bool ShowTraffic(const std::uint32_t* counters, const std::uint32_t* lampChunks);

void SetLamp(int control, HICON icon) {
    SendDlgItemMessageW(StatusWindow, control, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
}

void SetDecimalField(int control, unsigned long value) {
    wchar_t text[255];
    std::swprintf(text, 255, L"%lu", value);
    SetDlgItemTextW(StatusWindow, control, text);
}

void ResetCounters() {
    if (WindowActions.reset != nullptr) {
        WindowActions.reset();
        return;
    }
    ResetBridgeCounters(*shown);
    const std::uint32_t zeros[kTrafficCounterCount] = {};
    ShowTraffic(zeros, zeros);
    ApplyRelayActivity();
}

void ChangeSettings() {
    if (IsUserAdministrator()) {
        const unsigned saved = SettingsSaves;
        RunSettingsDialog(*shown);
        if (SettingsSaves != saved && WindowActions.settingsSaved != nullptr) {
            WindowActions.settingsSaved();
        }
    } else {
        ShowAdministratorRequired();
    }
}

// The standard Save As dialog, offering a new file named after the moment in
// the user's own folder (%LOCALAPPDATA%\Vantrel), beside the window's log, or
// in the service's.
void AskAndStartTrace(HWND window) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[64];
    std::swprintf(name, 64, L"trace-%04u%02u%02u-%02u%02u%02u.txt", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    const std::wstring suggested =
        (WindowActions.traceFolder != nullptr ? WindowActions.traceFolder() : DeskDataFolder()) +
        L"\\" + name;
    wchar_t path[MAX_PATH];
    CopyText(path, MAX_PATH, suggested.c_str());
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window;
    dialog.lpstrFilter = L"Trace (*.txt)\0*.txt\0All files\0*.*\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = L"Start trace";
    dialog.lpstrDefExt = L"txt";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (GetSaveFileNameW(&dialog)) {
        WindowActions.startTrace(*shown, path);
    }
}

void AddTraceMenu(HWND window) {
    if (WindowActions.startTrace == nullptr) {
        return;
    }
    const HMENU menu = GetSystemMenu(window, FALSE);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kStartTraceCommand, L"Start trace...");
    AppendMenuW(menu, MF_STRING, kStopTraceCommand, L"Stop trace");
}

void ShowModemLampOn(WPARAM lamp, bool on) {
    if (lamp == kCarrierLamp) {
        SetLamp(IDC_DCD_LAMP, on ? IndicatorIcons.carrierLit : IndicatorIcons.carrierDark);
    } else {
        SetLamp(IDC_DSR_LAMP, on ? IndicatorIcons.dataSetLit : IndicatorIcons.dataSetDark);
    }
}

HICON LoadIndicator(HINSTANCE instance, int id) {
    return LoadIconW(instance, MAKEINTRESOURCEW(id));
}

}  // namespace

bool WindowSink::Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
    const bool sent = message == kSerialPortMessage || message == kLineFieldsMessage ||
                      message == kTrafficMessage;
    if (message != kRelayActivityMessage &&
        (sent || GetWindowThreadProcessId(window_, nullptr) == GetCurrentThreadId())) {
        SendMessageW(window_, message, wParam, lParam);
        return true;
    }
    if (message != kAppendLogMessage && message != kStatusLineMessage) {
        return PostMessageW(window_, message, wParam, lParam) != FALSE;
    }
    const auto* text = reinterpret_cast<const wchar_t*>(lParam);
    const std::size_t length = wcslen(text) + 1;
    auto copy = std::make_unique<wchar_t[]>(length);
    wmemcpy(copy.get(), text, length);
    if (!PostMessageW(window_, message, kOwnedText, reinterpret_cast<LPARAM>(copy.get()))) {
        return false;
    }
    copy.release();
    return true;
}

void LoadIndicatorIcons(HINSTANCE instance) {
    IndicatorIcons.receiveDark = LoadIndicator(instance, IDI_RX_DARK);
    IndicatorIcons.receiveLit = LoadIndicator(instance, IDI_RX_LIT);
    IndicatorIcons.sendDark = LoadIndicator(instance, IDI_TX_DARK);
    IndicatorIcons.sendLit = LoadIndicator(instance, IDI_TX_LIT);
    IndicatorIcons.carrierDark = LoadIndicator(instance, IDI_DCD_DARK);
    IndicatorIcons.carrierLit = LoadIndicator(instance, IDI_DCD_LIT);
    IndicatorIcons.dataSetDark = LoadIndicator(instance, IDI_DSR_DARK);
    IndicatorIcons.dataSetLit = LoadIndicator(instance, IDI_DSR_LIT);
}

void ShowSplash(HINSTANCE instance, int showCommand) {
    const HWND splash =
        CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_SPLASH), nullptr, nullptr, 0);
    const HBITMAP picture = LoadBitmapW(instance, MAKEINTRESOURCEW(IDB_SPLASH));
    if (splash != nullptr) {
        SendDlgItemMessageW(splash, IDC_SPLASH_PICTURE, STM_SETIMAGE, IMAGE_BITMAP,
                            reinterpret_cast<LPARAM>(picture));
        ShowWindow(splash, showCommand);
        UpdateWindow(splash);
    }
    Sleep(kSplashMs);
    if (splash != nullptr) {
        DestroyWindow(splash);
    }
    if (picture != nullptr) {
        DeleteObject(picture);
    }
}

bool CreateStatusWindow(HINSTANCE instance, int showCommand, Bridge& bridge, const wchar_t* caption,
                        bool announceStart) {
    ModuleInstance = instance;
    shown = &bridge;
    StatusWindow =
        CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_STATUS), nullptr, StatusDialogProc, 0);
    if (StatusWindow == nullptr) {
        ShowMessageBox(nullptr,
                       L"We've encountered a serious problems while starting.  Please restart "
                       L"your PC and try again.  If the problem persists please contact "
                       L"technical support",
                       L"Error NDL06", MB_ICONERROR);
        return false;
    }
    // Well above the edit control's default, and kept there by dropping the
    // oldest lines (AppendToPane): new entries always land.
    SendDlgItemMessageW(StatusWindow, IDC_MESSAGES, EM_SETLIMITTEXT, kLogLimit, 0);
    static WindowSink sink(StatusWindow);
    bridge.status.window.store(&sink, std::memory_order_release);
    if (caption != nullptr) {
        SetWindowTextW(StatusWindow, caption);
    }
    AddTraceMenu(StatusWindow);

    if (announceStart) {
        if (const wchar_t* pending = TakePendingStartupLine()) {
            AppendLog(bridge.status, pending);
        }
        AppendLogEntry(bridge.status, L"Vantrel is starting up\r\n");
    }

    SetLamp(IDC_RX_LAMP, IndicatorIcons.receiveDark);
    SetLamp(IDC_TX_LAMP, IndicatorIcons.sendDark);
    SetLamp(IDC_DCD_LAMP, IndicatorIcons.carrierDark);
    SetLamp(IDC_DSR_LAMP, IndicatorIcons.dataSetDark);
    SendDlgItemMessageW(StatusWindow, IDC_RESET, BM_SETIMAGE, IMAGE_ICON,
                        reinterpret_cast<LPARAM>(LoadIconW(instance, MAKEINTRESOURCEW(IDI_RESET))));
    SendDlgItemMessageW(StatusWindow, IDC_CABLE_PICTURE, STM_SETICON,
                        reinterpret_cast<WPARAM>(LoadIconW(instance, MAKEINTRESOURCEW(IDI_CABLE))),
                        0);
    ShowWindow(StatusWindow, showCommand);
    UpdateWindow(StatusWindow);
    return true;
}

int RunStatusWindow() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

void ShowLineSettings(Bridge& bridge, HANDLE port) {
    PortSettingsRecord& settings = bridge.PortSettings;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    const bool live = GetCommState(port, &dcb) != FALSE;
    if (live) {
        // From here on the record, and the settings dialog, carry the rate
        // the port reports.
        settings.baudRate = dcb.BaudRate;
    } else {
        // Nothing reported: show what was configured.
        dcb.BaudRate = settings.baudRate;
        dcb.ByteSize = settings.dataBits;
        dcb.Parity = settings.parity;
        dcb.StopBits = settings.stopBits;
    }
    const LineFields fields = {settings.serialPort, settings.pipeName, dcb.BaudRate,
                               dcb.Parity,          dcb.ByteSize,      dcb.StopBits,
                               settings.flowControl};
    ShowLineFields(fields);
}

void ShowLineFields(const LineFields& fields) {
    SetDlgItemTextW(StatusWindow, IDC_SERIAL_PORT_FIELD, fields.serialPort);
    SetDlgItemTextW(StatusWindow, IDC_PIPE_NAME_FIELD, fields.pipeName);
    SetDecimalField(IDC_BAUD_FIELD, fields.baudRate);
    if (const wchar_t* parity = ParityName(fields.parity)) {
        SetDlgItemTextW(StatusWindow, IDC_PARITY_FIELD, parity);
    }
    SetDecimalField(IDC_DATA_BITS_FIELD, fields.dataBits);
    if (const wchar_t* stopBits = StopBitsText(fields.stopBits)) {
        SetDlgItemTextW(StatusWindow, IDC_STOP_BITS_FIELD, stopBits);
    }
    SetDlgItemTextW(StatusWindow, IDC_FLOW_CONTROL_FIELD, FlowControlName(fields.flowControl));
}

void AppendToPane(HWND pane, const wchar_t* text) {
    if (pane == nullptr) {
        return;
    }
    const auto length = static_cast<std::size_t>(GetWindowTextLengthW(pane));
    const std::size_t incoming = wcslen(text);
    if (length + incoming > kLogLimit) {
        // Rare: read the pane once to find where its oldest whole lines end.
        std::unique_ptr<wchar_t[]> current(new wchar_t[length + 1]);
        const auto read = static_cast<std::size_t>(
            GetWindowTextW(pane, current.get(), static_cast<int>(length + 1)));
        const std::size_t drop = LogTrimLength(current.get(), read, incoming);
        if (drop > 0) {
            SendMessageW(pane, EM_SETSEL, 0, static_cast<LPARAM>(drop));
            SendMessageW(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
        }
    }
    const int end = GetWindowTextLengthW(pane);
    SendMessageW(pane, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
    SendMessageW(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

namespace {

HICON LampIcon(ActivityLamp lamp, bool lit) {
    if (lamp == ActivityLamp::SerialReceive) {
        return lit ? IndicatorIcons.receiveLit : IndicatorIcons.receiveDark;
    }
    return lit ? IndicatorIcons.sendLit : IndicatorIcons.sendDark;
}

// Lit for 5 ms per byte of the latest chunk; a new chunk starts the period
// afresh.
void LightLamp(ActivityLamp lamp, std::uint32_t chunk) {
    ShownLamp& shown = shownLamps[static_cast<int>(lamp)];
    shown.darkAt = GetTickCount() + LampLitMs(chunk);
    if (!shown.lit) {
        shown.lit = true;
        SetLamp(shown.control, LampIcon(lamp, true));
        SetTimer(StatusWindow, shown.timer, LampLitMs(chunk), shown.clear);
    }
}

// The lamp's timer fired: dark when its time is up, else looked at again then.
void ClearLamp(HWND window, ActivityLamp lamp) {
    ShownLamp& shown = shownLamps[static_cast<int>(lamp)];
    const auto left = static_cast<LONG>(shown.darkAt - GetTickCount());
    if (shown.lit && left > static_cast<LONG>(kLampSlackMs)) {
        SetTimer(window, shown.timer, static_cast<UINT>(left), shown.clear);
        return;
    }
    // The timer is not left running, so an idle program does not wake up to
    // darken a dark lamp again.
    KillTimer(window, shown.timer);
    shown.lit = false;
    SetLamp(shown.control, LampIcon(lamp, false));
}

bool ShowTraffic(const std::uint32_t* counters, const std::uint32_t* lampChunks) {
    bool changed = false;
    for (int i = 0; i < kTrafficCounterCount; ++i) {
        if (counters[i] != shownCounters[i]) {
            wchar_t text[kCounterTextCapacity];
            FormatCounterText(counters[i], text, kCounterTextCapacity);
            SetDlgItemTextW(StatusWindow, kCounterControls[i], text);
            shownCounters[i] = counters[i];
            changed = true;
        }
    }
    if (changed) {
        UpdateWindow(StatusWindow);
    }
    for (const ActivityLamp lamp : {ActivityLamp::SerialReceive, ActivityLamp::SerialSend}) {
        if (const std::uint32_t chunk = lampChunks[static_cast<int>(lamp)]) {
            LightLamp(lamp, chunk);
            changed = true;
        }
    }
    return changed;
}

}  // namespace

bool ApplyRelayActivity() {
    RelayTraffic* traffic = ShownTraffic();
    if (traffic == nullptr) {
        return false;
    }
    std::uint32_t counters[kTrafficCounterCount];
    for (int i = 0; i < kTrafficCounterCount; ++i) {
        counters[i] = CounterValue(traffic->TrafficCounters, static_cast<TrafficCounter>(i));
    }
    const std::uint32_t chunks[] = {TakeLampChunk(traffic->activity, ActivityLamp::SerialReceive),
                                    TakeLampChunk(traffic->activity, ActivityLamp::SerialSend)};
    return ShowTraffic(counters, chunks);
}

void CALLBACK ClearReceiveIndicator(HWND window, UINT, UINT_PTR, DWORD) {
    ClearLamp(window, ActivityLamp::SerialReceive);
}

void CALLBACK ClearSendIndicator(HWND window, UINT, UINT_PTR, DWORD) {
    ClearLamp(window, ActivityLamp::SerialSend);
}

INT_PTR CALLBACK StatusDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case kAppendLogMessage:
        case kStatusLineMessage: {
            const std::unique_ptr<const wchar_t[]> owned(
                wParam == kOwnedText ? reinterpret_cast<const wchar_t*>(lParam) : nullptr);
            const auto* text = reinterpret_cast<const wchar_t*>(lParam);
            if (message == kAppendLogMessage) {
                AppendToPane(GetDlgItem(window, IDC_MESSAGES), text);
            } else {
                SetDlgItemTextW(window, IDC_STATUS_LINE, text);
            }
            return TRUE;
        }
        case kModemLampMessage:
            ShowModemLampOn(wParam, lParam != 0);
            return TRUE;
        case kLineFieldsMessage:
            ShowLineFields(*reinterpret_cast<const LineFields*>(lParam));
            return TRUE;
        case kTrafficMessage:
            ShowTraffic(reinterpret_cast<const std::uint32_t*>(wParam),
                        reinterpret_cast<const std::uint32_t*>(lParam));
            return TRUE;
        case kNoticeBoxMessage:
            ShowMessageBox(window, reinterpret_cast<const wchar_t*>(lParam), L"Vantrel",
                           MB_OK | MB_ICONWARNING);
            return TRUE;
        case kSerialPortMessage:
            // A followed adapter under its new COM name: the settings dialog
            // opens on it too.
            SetSerialPortName(shown->PortSettings, reinterpret_cast<const wchar_t*>(lParam));
            SetDlgItemTextW(window, IDC_SERIAL_PORT_FIELD,
                            reinterpret_cast<const wchar_t*>(lParam));
            return TRUE;
        case WM_INITMENUPOPUP:
            if (HIWORD(lParam) != 0 && WindowActions.tracing != nullptr) {
                const bool tracing = WindowActions.tracing(*shown);
                const HMENU menu = reinterpret_cast<HMENU>(wParam);
                EnableMenuItem(menu, kStartTraceCommand, tracing ? MF_GRAYED : MF_ENABLED);
                EnableMenuItem(menu, kStopTraceCommand, tracing ? MF_ENABLED : MF_GRAYED);
            }
            return FALSE;
        case WM_SYSCOMMAND:
            if (WindowActions.startTrace != nullptr && (wParam & 0xFFF0) == kStartTraceCommand) {
                AskAndStartTrace(window);
                return TRUE;
            }
            if (WindowActions.stopTrace != nullptr && (wParam & 0xFFF0) == kStopTraceCommand) {
                WindowActions.stopTrace(*shown);
                return TRUE;
            }
            return FALSE;
        case kRelayActivityMessage:
            // Bytes began to flow: shown at once, then at the steady rate. The
            // relay's request stays standing while the timer runs, so the
            // relay does not ask again until a tick has taken it up.
            if (!refreshing) {
                ApplyRelayActivity();
                refreshing = SetTimer(window, kRefreshTimer, kRefreshMs, nullptr) != 0;
                if (!refreshing && ShownTraffic() != nullptr) {
                    BeginRefresh(ShownTraffic()->activity);
                }
            }
            return TRUE;
        case WM_TIMER:
            if (wParam == kRefreshTimer) {
                if (RelayTraffic* traffic = ShownTraffic()) {
                    BeginRefresh(traffic->activity);
                }
                if (!ApplyRelayActivity()) {
                    // Quiet: the next chunk asks again.
                    KillTimer(window, kRefreshTimer);
                    refreshing = false;
                }
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            ShutdownProgram();
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDCANCEL:  // Exit, the close box and the system menu's Close
                    EndDialog(window, IDCANCEL);
                    ShutdownProgram();
                    return TRUE;
                case IDC_RESET:
                    ResetCounters();
                    return TRUE;
                case IDC_CHANGE_SETTINGS:
                    ChangeSettings();
                    return FALSE;
                case IDC_ABOUT:
                    DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_ABOUT), nullptr,
                                    AboutDialogProc, 0);
                    return TRUE;
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        return TRUE;
    }
    // Only OK (or Enter) closes it; Escape and the close box leave it open.
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        DestroyWindow(dialog);
        return TRUE;
    }
    return FALSE;
}

// Start-up runs strictly in order on the user-interface thread: splash, icons,
// settings, status window, COM port, events, pipe, line settings shown, relay
// threads, then the message loop for the rest of the process's life. The
// pipe is not looked for until the COM port is open, and no byte is relayed
// until both are.
#include "app/startup.h"

#include "app/app_state.h"
#include "config/settings_store.h"
#include "pipe/pipe_client.h"
#include "relay/link_recovery.h"
#include "relay/message_log.h"
#include "relay/relay_pumps.h"
#include "serial/modem_monitor.h"
#include "serial/serial_port.h"
#include "ui/message_box.h"
#include "ui/resource.h"
#include "ui/status_window.h"

namespace {

constexpr DWORD kSplashMs = 5000;

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

HICON LoadIndicator(HINSTANCE instance, int id) {
    return LoadIconW(instance, MAKEINTRESOURCEW(id));
}

void ShowStartupError(const wchar_t* text) {
    ShowMessageBox(nullptr, text, L"Error", MB_OK);
}

// Nothing waits on these events; only their creation matters.
bool CreateStartupEvents() {
    for (int pair = 0; pair < 8; ++pair) {
        if (CreateEventW(nullptr, TRUE, TRUE, nullptr) == nullptr) {
            ShowStartupError(L"Event initialization failed.  Please try again.");
            return false;
        }
        if (CreateEventW(nullptr, TRUE, TRUE, nullptr) == nullptr) {
            ShowStartupError(
                L"Event initialization failed.  Please restart the program and try again.");
            return false;
        }
    }
    return true;
}

}  // namespace

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

int RunVantrel(HINSTANCE instance, int showCommand) {
    ShowSplash(instance, showCommand);
    LoadIndicatorIcons(instance);
    ModuleInstance = instance;

    if (!LoadSettings()) {
        ApplyStartupDefaults();
    }
    if (!CreateStatusWindow(instance, showCommand)) {
        return 0;
    }

    const HANDLE serial = OpenSerialPort();
    if (!IsOpenHandle(serial)) {
        AppendLogEntry(L"-- Serial port initialization failed --\r\n");
        return 0;
    }

    SetStatusLine(L"Setting up events");
    if (!CreateStartupEvents()) {
        return 0;
    }

    SetStatusLine(L"Looking for pipe server");
    const HANDLE pipe = ConnectPipe();
    if (pipe == INVALID_HANDLE_VALUE) {
        ShowStartupError(
            L"Pipe initialization failed.  Did you create a named pipe in the Hyper-V settings?");
        return 0;
    }

    SetStatusLine(L"Setting up serial");
    RelayContext.pipe.handle.store(pipe, std::memory_order_release);
    RelayContext.serial.handle.store(serial, std::memory_order_release);
    ShowLineSettings();
    RememberLinkSettings();

    // Before the relay threads, which report lost ends to them. Without them
    // a lost end stays lost until the next start; the relay runs all the same.
    StartLinkKeepers(RelayContext);
    if (CreateThread(nullptr, 0, PipeToSerialPump, &RelayContext, 0, nullptr) == nullptr) {
        ShowStartupError(L"Couldn't start pipe reader thread.");
        return 0;
    }
    if (CreateThread(nullptr, 0, SerialToPipePump, &RelayContext, 0, nullptr) == nullptr) {
        ShowStartupError(L"Couldn't start serial reader thread.");
        return 0;
    }
    // Without it the DCD and DSR lamps stay dark; the relay runs all the same.
    CreateThread(nullptr, 0, ModemMonitor, &RelayContext, 0, nullptr);

    SetStatusLine(L"Connected");

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // Every way out the program offers ends the process in ShutdownProgram;
    // this is reached only by a quit message from elsewhere.
    CloseHandle(RelayContext.serial.handle.load());
    DisconnectNamedPipe(RelayContext.pipe.handle.load());
    return static_cast<int>(message.wParam);
}

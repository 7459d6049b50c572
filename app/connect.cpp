#include "app/connect.h"

#include <cstdlib>
#include <optional>

#include "common/status_client.h"
#include "config/settings_record.h"
#include "pipe/pipe_client.h"
#include "relay/link_recovery.h"
#include "relay/pipe_diagnosis.h"
#include "serial/serial_port.h"
#include "ui/connection_failure_dialog.h"
#include "ui/message_box.h"

HANDLE OpenSerialPort(Bridge& bridge) {
    PortSettingsRecord& settings = bridge.PortSettings;
    StatusClient& status = bridge.status;
    AppendLogEntry(status, L"Connecting to serial port ...", 100);
    SerialOpenOutcome outcome;
    bool failed = false;
    // The name is read afresh on every attempt: Change configuration may
    // have saved a new one.
    while ((outcome = OpenSerialLine(settings)).result == LineSetupResult::NotOpened) {
        if (!failed) {
            // Once: the ports there are, on a line of their own.
            AppendLog(status, L"\r\n");
            if (const std::wstring missing = AdapterMissingText(settings, outcome.choice);
                !missing.empty()) {
                AppendLogEntry(status, missing.c_str());
            }
            LogPortsPresent(status);
            failed = true;
        }
        RunConnectionFailureDialog(bridge, FailureVariant::Serial);
    }
    if (failed) {
        AppendLogEntry(status, L"Connecting to serial port ...", 100);
    }
    AppendLog(status, L" OK!\r\n");
    NoteAdapterOpened(*bridge.RelayContext, settings, outcome.choice);
    if (outcome.result == LineSetupResult::Done) {
        AppendLogEntry(status, L"Serial port setup complete\r\n", 100);
        return outcome.port;
    }
    ShowErrorBox(outcome.result == LineSetupResult::NotPurged
                     ? L"Couldn't purge the serial port data during initialization"
                     : L"Couldn't set the serial port configuration");
    return INVALID_HANDLE_VALUE;
}

HANDLE ConnectPipe(Bridge& bridge) {
    const PortSettingsRecord& settings = bridge.PortSettings;
    if (!RegisterPipeEventSource()) {
        std::exit(0);
    }
    // Once for the whole wait, whose end the process does not outlive.
    static PipeDiagnosis diagnosis;
    DiagnoseMissingPipe(diagnosis, bridge.status, settings.pipePath, nullptr);
    std::optional<PipeServerFacts> refused;  // one entry per server that is not a VM
    for (;;) {
        if (!refused) {
            AppendLogEntry(bridge.status, L"Waiting for Hyper-V pipe\r\n");
        }
        // The whole UTF-16 path, read afresh each time: any name the settings
        // accept is found, and a name saved through Change configuration is
        // the one waited for next.
        if (!WaitNamedPipeW(settings.pipePath, 5000)) {
            refused.reset();
            RunConnectionFailureDialog(bridge, FailureVariant::Pipe);
            SleepEx(5000, TRUE);
            continue;
        }
        const PipeOpenOutcome outcome = OpenVmPipe(settings.pipePath, bridge.status, &refused);
        if (!outcome.serverRefused) {
            if (outcome.pipe == INVALID_HANDLE_VALUE) {
                ShowSystemErrorBox(outcome.error, outcome.failureCaption);
            }
            return outcome.pipe;
        }
        // Not a virtual machine's: looked for again, as by the service.
        SleepEx(kLinkRetryMs, TRUE);
    }
}

#include "serial/serial_port.h"

#include <cstddef>
#include <cstring>

#include "relay/message_log.h"
#include "serial/line_flags.h"
#include "ui/connection_failure_dialog.h"
#include "ui/message_box.h"

SerialSetupCalls SerialSetup = {GetCommState, SetCommState, GetCommTimeouts, SetCommTimeouts,
                                PurgeComm};

namespace {

// The flag word follows DCBlength and BaudRate in every compiler's layout of
// the DCB's bit-fields.
constexpr std::size_t kDcbFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(sizeof(DCB) >= kDcbFlagsOffset + sizeof(std::uint32_t));

// A read returns at once with whatever the driver holds; with nothing there,
// as soon as a byte arrives or after 10 ms with none. Writes have no time-out.
constexpr COMMTIMEOUTS kRelayTimeouts = {MAXDWORD, MAXDWORD, 10, 0, 0};

}  // namespace

std::uint32_t ReadDcbFlags(const DCB& dcb) {
    std::uint32_t flags;
    std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + kDcbFlagsOffset,
                sizeof flags);
    return flags;
}

void WriteDcbFlags(DCB& dcb, std::uint32_t flags) {
    std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + kDcbFlagsOffset, &flags, sizeof flags);
}

HANDLE OpenPortDevice(const wchar_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

LineSetupResult SetUpSerialLine(HANDLE port, const PortSettingsRecord& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // Without the driver's own state there is nothing safe to write back.
    if (!SerialSetup.getState(port, &dcb)) {
        return LineSetupResult::StateNotSet;
    }
    COMMTIMEOUTS timeouts{};
    SerialSetup.getTimeouts(port, &timeouts);

    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    const FlowControlSettings flow = {settings.flowControl,     settings.useCtsForOutput,
                                      settings.useDsrForOutput, settings.dtrControlMode,
                                      settings.useDsrForInput,  settings.rtsControlMode};
    WriteDcbFlags(dcb, BuildLineFlags(ReadDcbFlags(dcb), flow));
    timeouts = kRelayTimeouts;

    if (!SerialSetup.setState(port, &dcb) || !SerialSetup.setTimeouts(port, &timeouts)) {
        return LineSetupResult::StateNotSet;
    }
    if (!SerialSetup.purge(port, PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        return LineSetupResult::NotPurged;
    }
    return LineSetupResult::Done;
}

HANDLE OpenSerialPort() {
    AppendLogEntry(L"Connecting to serial port ...", 100);
    HANDLE port;
    // The name is read afresh on every attempt: Change configuration may
    // have saved a new one.
    while ((port = OpenPortDevice(PortSettings.serialPort)) == INVALID_HANDLE_VALUE) {
        RunConnectionFailureDialog(FailureVariant::Serial);
    }
    AppendLog(L" OK!\r\n");

    const wchar_t* failure = nullptr;
    switch (SetUpSerialLine(port, PortSettings)) {
        case LineSetupResult::Done:
            AppendLogEntry(L"Serial port setup complete\r\n", 100);
            return port;
        case LineSetupResult::StateNotSet:
            failure = L"Couldn't set the serial port configuration";
            break;
        case LineSetupResult::NotPurged:
            failure = L"Couldn't purge the serial port data during initialization";
            break;
    }
    ShowMessageBox(nullptr, failure, L"Error", MB_OK);
    CloseHandle(port);
    return INVALID_HANDLE_VALUE;
}

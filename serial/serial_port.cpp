#include "serial/serial_port.h"

#include <cstddef>
#include <cstring>

#include "common/handles.h"
#include "common/port_names.h"
#include "serial/line_flags.h"

SerialSetupCalls SerialSetup = {GetCommState, SetCommState, GetCommTimeouts, SetCommTimeouts,
                                PurgeComm};
decltype(&GetCommModemStatus) ModemStatusSource = GetCommModemStatus;
CommEventCalls CommEvents = {SetCommMask, WaitCommEvent, ClearCommError, CancelIoEx};

namespace {

// The flag word follows DCBlength and BaudRate in every compiler's layout of
// the DCB's bit-fields.
constexpr std::size_t kDcbFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(sizeof(DCB) >= kDcbFlagsOffset + sizeof(std::uint32_t));

// A read takes what the driver holds and returns at once: the relay reads
// when the driver has signalled received bytes (under Wine, whose pty cannot
// signal them, a read left pending returns as soon as bytes arrive). Writes
// have no time-out.
constexpr COMMTIMEOUTS kRelayTimeouts = {MAXDWORD, 0, 0, 0, 0};

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
    return CreateFileW(PortDevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
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

SerialOpenOutcome OpenSerialLine(const PortSettingsRecord& settings) {
    SerialOpenOutcome outcome = {INVALID_HANDLE_VALUE, LineSetupResult::NotOpened,
                                 ChoosePort(settings)};
    if (outcome.choice.portName.empty()) {
        return outcome;
    }
    UniqueFile port(OpenPortDevice(outcome.choice.portName.c_str()));
    if (!port.IsOpen()) {
        return outcome;
    }
    outcome.result = SetUpSerialLine(port.Get(), settings);
    if (outcome.result == LineSetupResult::Done) {
        outcome.port = port.Release();
    }
    return outcome;
}

bool ReadLineFromPort(PortSettingsRecord& record) {
    const HANDLE port = OpenPortDevice(record.serialPort);
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts{};
    COMMPROP properties{};
    const bool read = GetCommState(port, &dcb) && GetCommTimeouts(port, &timeouts) &&
                      GetCommProperties(port, &properties);
    if (read) {
        // "Flow control" has no single DCB member: it keeps what the record holds.
        record.baudRate = dcb.BaudRate;
        record.dataBits = dcb.ByteSize;
        record.parity = dcb.Parity;
        record.stopBits = dcb.StopBits;
        record.dtrControlMode = dcb.fDtrControl;
        record.rtsControlMode = dcb.fRtsControl;
        record.useCtsForOutput = dcb.fOutxCtsFlow;
        record.useDsrForOutput = dcb.fOutxDsrFlow;
        record.useDsrForInput = dcb.fDsrSensitivity;
        record.discardNull = dcb.fNull;
    }
    // A failure to close counts as a failure to read: the port may be left
    // in a state nobody set up.
    const bool closed = CloseHandle(port) != FALSE;
    return read && closed;
}

bool ReadModemLines(HANDLE port, std::uint32_t* lines) {
    DWORD word = 0;
    if (!IsOpenHandle(port) || !ModemStatusSource(port, &word)) {
        return false;
    }
    *lines = word;
    return true;
}

bool SerialPortAnswers(HANDLE port) {
    DWORD errors = 0;
    return CommEvents.clearError(port, &errors, nullptr) != FALSE;
}

bool ClearLineErrors(HANDLE port, std::uint32_t* errors, std::uint32_t* queued) {
    DWORD flags = 0;
    COMSTAT state{};
    if (!CommEvents.clearError(port, &flags, &state)) {
        return false;
    }
    *errors = flags;
    if (queued != nullptr) {
        *queued = state.cbInQue;
    }
    return true;
}

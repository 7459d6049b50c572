// The COM-port set-up against a pty-backed port under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "app/connect.h"
#include "config/settings_record.h"
#include "serial/line_flags.h"
#include "serial/serial_port.h"
#include "support/win_test_support.h"

namespace {

// The bridge start-up opens the port of, whose relay record notes the adapter.
Bridge& Desk() {
    test_support::WindowRelay();
    return test_support::DeskBridge();
}

// Without a port, opening one would wait in the failure dialog for ever.
#define ASSERT_PORT() ASSERT_FALSE(port_.empty()) << "needs the runner's pty-backed COM port"

class SerialPortTest : public ::testing::Test {
protected:
    // Tests of the DCB alone, or below a stand-in driver, need no port: they
    // run everywhere. Those that open the port begin with ASSERT_PORT.
    void SetUp() override {
        port_ = test_support::TestComPort();
        ApplyDefaultSettings(test_support::DeskSettings());
        SetSerialPortName(test_support::DeskSettings(), port_.c_str());
    }
    void TearDown() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    DCB ReadBack() {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(GetCommState(handle_, &dcb));
        return dcb;
    }
    std::wstring port_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// What a pty carries: the rate, the stop bits, the flow-control flags and
// the time-outs. (A pty always reads back 8 data bits and no parity.)
TEST_F(SerialPortTest, TheConfiguredLineIsOnThePortAfterwards) {
    ASSERT_PORT();
    test_support::DeskSettings().baudRate = 115200;
    test_support::DeskSettings().stopBits = TWOSTOPBITS;
    test_support::DeskSettings().flowControl = kFlowHardware;
    test_support::DeskSettings().discardNull = 1;
    test_support::MessageBoxRecorder boxes;
    handle_ = OpenSerialPort(Desk());
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(boxes.Boxes().empty());

    const DCB dcb = ReadBack();
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fNull, 0u) << "NUL bytes are always delivered";

    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(handle_, &timeouts));
    // A read takes what the driver holds without waiting.
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

TEST_F(SerialPortTest, SoftwareFlowControlPutsXonXoffOnTheLine) {
    ASSERT_PORT();
    test_support::DeskSettings().baudRate = 9600;
    test_support::DeskSettings().flowControl = kFlowSoftware;
    handle_ = OpenPortDevice(test_support::DeskSettings().serialPort);
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    ASSERT_EQ(SetUpSerialLine(handle_, test_support::DeskSettings()), LineSetupResult::Done);
    const DCB dcb = ReadBack();
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
}

TEST_F(SerialPortTest, FlagWordAccessMatchesTheDcbBitFields) {
    DCB dcb{};
    dcb.fOutxDsrFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    EXPECT_EQ(ReadDcbFlags(dcb), (1u << 3) | (3u << 12) | (1u << 14));
    WriteDcbFlags(dcb, (2u << 4) | (1u << 8));
    EXPECT_EQ(dcb.fDtrControl, 2u);
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fRtsControl, 0u);
}

// Below the driver: the DCB written is the driver's own with exactly the
// line parameters and the flag word changed.
DCB driverState;
DCB written;
int setStateCalls = 0;
BOOL WINAPI DriverState(HANDLE, LPDCB dcb) {
    *dcb = driverState;
    return TRUE;
}
BOOL WINAPI CaptureState(HANDLE, LPDCB dcb) {
    written = *dcb;
    ++setStateCalls;
    return TRUE;
}
BOOL WINAPI RefuseState(HANDLE, LPDCB) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
BOOL WINAPI FailingGetState(HANDLE, LPDCB) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}
BOOL WINAPI FailingPurge(HANDLE, DWORD) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}
BOOL WINAPI AcceptTimeouts(HANDLE, LPCOMMTIMEOUTS) {
    return TRUE;
}
BOOL WINAPI AcceptPurge(HANDLE, DWORD) {
    return TRUE;
}

class SerialSetupBelowTheDriver : public SerialPortTest {
protected:
    void SetUp() override {
        SerialPortTest::SetUp();
        saved_ = SerialSetup;
        SerialSetup.getState = DriverState;
        SerialSetup.setState = CaptureState;
        SerialSetup.setTimeouts = AcceptTimeouts;
        SerialSetup.purge = AcceptPurge;
        std::memset(&driverState, 0xA5, sizeof driverState);
        driverState.DCBlength = sizeof driverState;
        setStateCalls = 0;
    }
    void TearDown() override {
        SerialSetup = saved_;
        SerialPortTest::TearDown();
    }
    SerialSetupCalls saved_{};
};

TEST_F(SerialSetupBelowTheDriver, OnlyTheLineParametersAndFlagsChange) {
    test_support::DeskSettings().baudRate = 57600;
    test_support::DeskSettings().dataBits = 7;
    test_support::DeskSettings().parity = EVENPARITY;
    test_support::DeskSettings().stopBits = ONE5STOPBITS;
    test_support::DeskSettings().flowControl = 200;  // custom
    test_support::DeskSettings().dtrControlMode = 3;
    test_support::DeskSettings().rtsControlMode = 3;
    ASSERT_EQ(SetUpSerialLine(INVALID_HANDLE_VALUE, test_support::DeskSettings()),
              LineSetupResult::Done);
    ASSERT_EQ(setStateCalls, 1);
    EXPECT_EQ(written.BaudRate, 57600u);
    EXPECT_EQ(written.ByteSize, 7);
    EXPECT_EQ(written.Parity, EVENPARITY);
    EXPECT_EQ(written.StopBits, ONE5STOPBITS);
    const FlowControlSettings flow = {200, 0, 1, 3, 1, 3};
    EXPECT_EQ(ReadDcbFlags(written), BuildLineFlags(ReadDcbFlags(driverState), flow));
    EXPECT_EQ(written.XonLim, driverState.XonLim);
    EXPECT_EQ(written.XoffLim, driverState.XoffLim);
    EXPECT_EQ(written.XonChar, driverState.XonChar);
    EXPECT_EQ(written.XoffChar, driverState.XoffChar);
    EXPECT_EQ(written.ErrorChar, driverState.ErrorChar);
    EXPECT_EQ(written.EofChar, driverState.EofChar);
    EXPECT_EQ(written.EvtChar, driverState.EvtChar);
    EXPECT_EQ(written.wReserved, driverState.wReserved);
    EXPECT_EQ(written.wReserved1, driverState.wReserved1);
}

TEST_F(SerialSetupBelowTheDriver, WithoutTheDriversStateNothingIsWritten) {
    SerialSetup.getState = FailingGetState;
    EXPECT_EQ(SetUpSerialLine(INVALID_HANDLE_VALUE, test_support::DeskSettings()),
              LineSetupResult::StateNotSet);
    EXPECT_EQ(setStateCalls, 0);
}

TEST_F(SerialSetupBelowTheDriver, RefusedLineStateClosesThePortWithItsBox) {
    ASSERT_PORT();
    SerialSetup.setState = RefuseState;
    test_support::MessageBoxRecorder boxes;
    EXPECT_EQ(OpenSerialPort(Desk()), INVALID_HANDLE_VALUE);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, L"Couldn't set the serial port configuration");
    EXPECT_EQ(boxes.Boxes()[0].caption, L"Error");
    EXPECT_EQ(boxes.Boxes()[0].type, static_cast<UINT>(MB_OK));
    // Closed again: the port opens at once.
    handle_ = OpenPortDevice(test_support::DeskSettings().serialPort);
    EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
}

TEST_F(SerialSetupBelowTheDriver, FailedPurgeHasItsOwnBox) {
    ASSERT_PORT();
    SerialSetup.purge = FailingPurge;
    test_support::MessageBoxRecorder boxes;
    EXPECT_EQ(OpenSerialPort(Desk()), INVALID_HANDLE_VALUE);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, L"Couldn't purge the serial port data during initialization");
}

}  // namespace

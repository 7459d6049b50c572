// A COM port as Windows' serial drivers present it, where Wine's pty cannot:
// an input queue, one EV_RXCHAR for any number of bytes that arrive, line
// errors that (with fAbortOnError) fail every call until ClearCommError,
// writes that complete partly while the output queue is full, and the
// removal of a USB adapter. Written from Microsoft's documentation of
// WaitCommEvent, ClearCommError, COMMTIMEOUTS ("a value of MAXDWORD ...
// specifies that the read operation is to return immediately with the bytes
// that have already been received") and the DCB's fAbortOnError ("the driver
// terminates all read and write operations with an error status if an error
// occurs ... until the application acknowledges the error by calling
// ClearCommError"). It takes the relay's and the driver calls' seams for its
// own handle while it lives; every other handle goes to the system.
#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>
#include <string>

namespace test_support {

class SerialDriverModel {
public:
    SerialDriverModel();
    ~SerialDriverModel();
    SerialDriverModel(const SerialDriverModel&) = delete;
    SerialDriverModel& operator=(const SerialDriverModel&) = delete;

    HANDLE Port() const { return port_; }
    // The device sends bytes: queued, and one EV_RXCHAR for all of them.
    void Receive(const std::string& bytes);
    // Line events (EV_DSR, EV_RLSD) for a pending or the next wait.
    void Raise(DWORD events);
    // CE_ bits of a line error. With abortOnError every call fails with
    // ERROR_OPERATION_ABORTED until they are cleared, a pending wait too.
    void LineError(DWORD errors);
    // Each write takes at most the next of these many bytes (then no limit).
    void LimitWrites(std::deque<std::size_t> rooms);
    // Every write fails with error while the port still answers.
    void FailWrites(DWORD error);
    // The adapter is pulled: a pending wait ends aborted, every call fails.
    void Remove();
    std::string Written();
    bool abortOnError = true;

private:
    HANDLE port_;
};

}  // namespace test_support

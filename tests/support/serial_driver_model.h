// A COM port as Windows' serial drivers present it, where Wine's pty cannot,
// from Microsoft's documentation of WaitCommEvent, ClearCommError,
// COMMTIMEOUTS (MAXDWORD: "return immediately with the bytes that have
// already been received") and the DCB's fAbortOnError ("terminates all read
// and write operations with an error status ... until the application
// acknowledges the error by calling ClearCommError"): an input queue, one
// EV_RXCHAR for any number of bytes, line errors that fail every call until
// cleared, writes that complete partly while the output queue is full, and a
// USB adapter pulled out. While it lives it takes the relay's seams for its
// own handle; every other handle goes to the system.
#pragma once

#include <windows.h>

#include <deque>
#include <string>

namespace test_support {

struct SerialDriverModel {
    SerialDriverModel();
    ~SerialDriverModel();
    HANDLE Port() const;
    void Receive(const std::string& bytes);           // from the device
    void Raise(DWORD events);                         // EV_DSR, EV_RLSD
    void LineError(DWORD errors);                     // CE_ bits; the driver aborts on errors
    void LimitWrites(std::deque<std::size_t> rooms);  // each write takes at most the next
    void FailWrites(DWORD error);                     // while the port still answers
    void Remove();
    std::string Written();
};

}  // namespace test_support

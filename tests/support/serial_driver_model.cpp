#include "support/serial_driver_model.h"

#include <mutex>

#include "relay/relay_pumps.h"
#include "serial/serial_port.h"

namespace test_support {
namespace {

constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;

struct ModelState {
    std::mutex lock;
    HANDLE port = nullptr;
    std::string input, written;
    std::deque<std::size_t> rooms;
    DWORD errors = 0, writeError = 0, history = 0, mask = 0;
    bool removed = false, abortOnError = true;
    OVERLAPPED* waiting = nullptr;
    DWORD* waitingMask = nullptr;
    RelayIoCalls savedIo;
    CommEventCalls savedEvents;
};
ModelState* model = nullptr;

bool Complete(OVERLAPPED* overlapped, ULONG_PTR status, ULONG_PTR count) {
    overlapped->Internal = status;
    overlapped->InternalHigh = count;
    SetEvent(overlapped->hEvent);
    return true;
}

// Under the lock: what a call meets before it does anything. An overlapped
// call resets its event as it begins, as the system does.
DWORD Refusal(OVERLAPPED* overlapped = nullptr) {
    if (overlapped != nullptr) {
        ResetEvent(overlapped->hEvent);
    }
    if (model->removed) {
        return ERROR_BAD_COMMAND;
    }
    return model->errors != 0 && model->abortOnError ? ERROR_OPERATION_ABORTED : ERROR_SUCCESS;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Under the lock: a pending wait ends with the events that came.
void Signal(DWORD events, ULONG_PTR status = 0) {
    model->history |= events & model->mask;
    if (model->waiting != nullptr && (model->history != 0 || status != 0)) {
        *model->waitingMask = status != 0 ? 0 : std::exchange(model->history, 0);
        Complete(std::exchange(model->waiting, nullptr), status, 0);
    }
}

BOOL WINAPI Read(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD, LPOVERLAPPED overlapped) {
    if (handle != model->port) {
        return model->savedIo.read(handle, buffer, size, nullptr, overlapped);
    }
    std::lock_guard hold(model->lock);
    if (const DWORD refusal = Refusal(overlapped)) {
        return Fail(refusal);
    }
    const std::size_t count = std::min<std::size_t>(size, model->input.size());
    model->input.copy(static_cast<char*>(buffer), count);
    model->input.erase(0, count);
    return Complete(overlapped, 0, count);
}

BOOL WINAPI Write(HANDLE handle, LPCVOID bytes, DWORD length, LPDWORD, LPOVERLAPPED overlapped) {
    if (handle != model->port) {
        return model->savedIo.write(handle, bytes, length, nullptr, overlapped);
    }
    std::lock_guard hold(model->lock);
    if (const DWORD refusal = Refusal(overlapped) ? Refusal() : model->writeError) {
        return Fail(refusal);
    }
    std::size_t count = length;
    if (!model->rooms.empty()) {
        count = std::min(count, model->rooms.front());
        model->rooms.pop_front();
    }
    model->written.append(static_cast<const char*>(bytes), count);
    // A write time-out completes with what went (COMMTIMEOUTS).
    return Complete(overlapped, 0, count);
}

BOOL WINAPI SetMask(HANDLE handle, DWORD mask) {
    if (handle != model->port) {
        return model->savedEvents.setMask(handle, mask);
    }
    std::lock_guard hold(model->lock);
    model->mask = mask;
    return TRUE;
}

BOOL WINAPI Wait(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped) {
    if (handle != model->port) {
        return model->savedEvents.wait(handle, mask, overlapped);
    }
    std::lock_guard hold(model->lock);
    if (const DWORD refusal = Refusal(overlapped)) {
        return Fail(refusal);
    }
    overlapped->Internal = kStatusPending;
    model->waiting = overlapped;
    model->waitingMask = mask;
    Signal(0);
    return model->waiting == nullptr ? TRUE : Fail(ERROR_IO_PENDING);
}

BOOL WINAPI Clear(HANDLE handle, LPDWORD errors, LPCOMSTAT state) {
    if (handle != model->port) {
        return model->savedEvents.clearError(handle, errors, state);
    }
    std::lock_guard hold(model->lock);
    if (model->removed) {
        return Fail(ERROR_BAD_COMMAND);
    }
    *errors = std::exchange(model->errors, 0);
    if (state != nullptr) {
        *state = COMSTAT{};
        state->cbInQue = static_cast<DWORD>(model->input.size());
    }
    return TRUE;
}

BOOL WINAPI Cancel(HANDLE handle, LPOVERLAPPED overlapped) {
    if (handle != model->port) {
        return model->savedEvents.cancel(handle, overlapped);
    }
    std::lock_guard hold(model->lock);
    if (model->waiting == nullptr || (overlapped != nullptr && overlapped != model->waiting)) {
        return Fail(ERROR_NOT_FOUND);
    }
    Signal(0, kStatusCancelled);
    return TRUE;
}

}  // namespace

SerialDriverModel::SerialDriverModel() : port_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    model = new ModelState;
    model->port = port_;
    model->savedIo = RelayIo;
    model->savedEvents = CommEvents;
    RelayIo = {Read, Write};
    CommEvents = {SetMask, Wait, Clear, Cancel};
}

// The port handle belongs to whoever the test gave it to (a relay closes it).
SerialDriverModel::~SerialDriverModel() {
    RelayIo = model->savedIo;
    CommEvents = model->savedEvents;
}

void SerialDriverModel::Receive(const std::string& bytes) {
    std::lock_guard hold(model->lock);
    model->input += bytes;
    Signal(EV_RXCHAR);
}

void SerialDriverModel::Raise(DWORD events) {
    std::lock_guard hold(model->lock);
    Signal(events);
}

void SerialDriverModel::LineError(DWORD errors) {
    std::lock_guard hold(model->lock);
    model->errors |= errors;
    model->abortOnError = abortOnError;
    if (abortOnError && model->waiting != nullptr) {
        Signal(0, kStatusCancelled);
    } else {
        Signal(EV_ERR);
    }
}

void SerialDriverModel::LimitWrites(std::deque<std::size_t> rooms) {
    std::lock_guard hold(model->lock);
    model->rooms = std::move(rooms);
}

void SerialDriverModel::FailWrites(DWORD error) {
    std::lock_guard hold(model->lock);
    model->writeError = error;
}

void SerialDriverModel::Remove() {
    std::lock_guard hold(model->lock);
    model->removed = true;
    Signal(0, kStatusCancelled);
}

std::string SerialDriverModel::Written() {
    std::lock_guard hold(model->lock);
    return model->written;
}

}  // namespace test_support

#include "support/serial_driver_model.h"

#include <mutex>

#include "relay/relay_pumps.h"
#include "serial/serial_port.h"

namespace test_support {
namespace {

constexpr ULONG_PTR kPending = 0x103, kCancelled = 0xC0000120;

struct {
    std::mutex lock;
    HANDLE port;
    std::string input, written;
    std::deque<std::size_t> rooms;
    DWORD errors, writeError, history, mask;
    bool removed;
    HANDLE completions;  // the port the relay attached the handle to
    OVERLAPPED* waiting;
    DWORD* waitingMask;
    RelayIoCalls io;
    CommEventCalls events;
} model;

// An operation that completes at once queues nothing (the relay asks for
// FILE_SKIP_COMPLETION_PORT_ON_SUCCESS, which serial drivers allow); one
// that was pending comes to the port it was attached to.
BOOL Complete(OVERLAPPED* overlapped, ULONG_PTR status, ULONG_PTR count, bool pending = false) {
    overlapped->Internal = status;
    overlapped->InternalHigh = count;
    if (overlapped->hEvent != nullptr) {
        SetEvent(overlapped->hEvent);
    }
    if (pending && model.completions != nullptr) {
        PostQueuedCompletionStatus(model.completions, static_cast<DWORD>(count), 0, overlapped);
    }
    return TRUE;
}

// What a call meets first; an overlapped call resets its event as it begins.
DWORD Refusal(OVERLAPPED* overlapped) {
    ResetEvent(overlapped->hEvent);
    return model.removed ? ERROR_BAD_COMMAND : model.errors ? ERROR_OPERATION_ABORTED : 0;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

void Signal(DWORD events, ULONG_PTR status = 0) {
    model.history |= events & model.mask;
    if (model.waiting != nullptr && (model.history != 0 || status != 0)) {
        *model.waitingMask = status != 0 ? 0 : std::exchange(model.history, 0);
        Complete(std::exchange(model.waiting, nullptr), status, 0, true);
    }
}

BOOL WINAPI Read(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD, LPOVERLAPPED overlapped) {
    if (handle != model.port) {
        return model.io.read(handle, buffer, size, nullptr, overlapped);
    }
    std::lock_guard hold(model.lock);
    if (const DWORD refusal = Refusal(overlapped)) {
        return Fail(refusal);
    }
    const std::size_t count = model.input.copy(static_cast<char*>(buffer), size);
    model.input.erase(0, count);
    return Complete(overlapped, 0, count);
}

BOOL WINAPI Write(HANDLE handle, LPCVOID bytes, DWORD length, LPDWORD, LPOVERLAPPED overlapped) {
    if (handle != model.port) {
        return model.io.write(handle, bytes, length, nullptr, overlapped);
    }
    std::lock_guard hold(model.lock);
    if (const DWORD refusal = Refusal(overlapped) ? ERROR_OPERATION_ABORTED : model.writeError) {
        return Fail(model.removed ? ERROR_BAD_COMMAND : refusal);
    }
    std::size_t count = length;
    if (!model.rooms.empty()) {
        count = std::min(count, model.rooms.front());
        model.rooms.pop_front();
    }
    model.written.append(static_cast<const char*>(bytes), count);
    return Complete(overlapped, 0, count);  // a write time-out completes with what went
}

BOOL WINAPI SetMask(HANDLE handle, DWORD mask) {
    if (handle != model.port) {
        return model.events.setMask(handle, mask);
    }
    std::lock_guard hold(model.lock);
    model.mask = mask;
    return TRUE;
}

BOOL WINAPI Wait(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped) {
    if (handle != model.port) {
        return model.events.wait(handle, mask, overlapped);
    }
    std::lock_guard hold(model.lock);
    if (const DWORD refusal = Refusal(overlapped)) {
        return Fail(refusal);
    }
    if (model.history != 0) {
        *mask = std::exchange(model.history, 0);
        return Complete(overlapped, 0, 0);
    }
    overlapped->Internal = kPending;
    model.waiting = overlapped;
    model.waitingMask = mask;
    return Fail(ERROR_IO_PENDING);
}

bool Attach(HANDLE handle, HANDLE port, bool* skipsOnSuccess) {
    if (handle != model.port) {
        return model.io.attach(handle, port, skipsOnSuccess);
    }
    std::lock_guard hold(model.lock);
    model.completions = port;
    *skipsOnSuccess = true;
    return true;
}

BOOL WINAPI Clear(HANDLE handle, LPDWORD errors, LPCOMSTAT state) {
    if (handle != model.port) {
        return model.events.clearError(handle, errors, state);
    }
    std::lock_guard hold(model.lock);
    if (model.removed) {
        return Fail(ERROR_BAD_COMMAND);
    }
    *errors = std::exchange(model.errors, 0);
    if (state != nullptr) {
        *state = COMSTAT{};
        state->cbInQue = static_cast<DWORD>(model.input.size());
    }
    return TRUE;
}

BOOL WINAPI Cancel(HANDLE handle, LPOVERLAPPED overlapped) {
    if (handle != model.port) {
        return model.events.cancel(handle, overlapped);
    }
    std::lock_guard hold(model.lock);
    if (model.waiting == nullptr) {
        return Fail(ERROR_NOT_FOUND);
    }
    Signal(0, kCancelled);
    return TRUE;
}

template <typename Change>
void Locked(Change change) {
    std::lock_guard hold(model.lock);
    change();
}

}  // namespace

SerialDriverModel::SerialDriverModel() {
    Locked([] {
        model.port = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        model.input.clear();
        model.written.clear();
        model.rooms.clear();
        model.errors = model.writeError = model.history = model.mask = 0;
        model.removed = false;
        model.completions = nullptr;
        model.waiting = nullptr;
        model.io = RelayIo;
        model.events = CommEvents;
    });
    RelayIo = {Read, Write, Attach};
    CommEvents = {SetMask, Wait, Clear, Cancel};
}

// The port handle is the relay's, which closes it.
SerialDriverModel::~SerialDriverModel() {
    RelayIo = model.io;
    CommEvents = model.events;
}

HANDLE SerialDriverModel::Port() const {
    return model.port;
}
void SerialDriverModel::Receive(const std::string& bytes) {
    Locked([&] { model.input += bytes, Signal(EV_RXCHAR); });
}
void SerialDriverModel::Raise(DWORD events) {
    Locked([&] { Signal(events); });
}
// A pending wait ends aborted too.
void SerialDriverModel::LineError(DWORD errors) {
    Locked([&] { model.errors |= errors, Signal(0, kCancelled); });
}
void SerialDriverModel::LimitWrites(std::deque<std::size_t> rooms) {
    Locked([&] { model.rooms = std::move(rooms); });
}
void SerialDriverModel::FailWrites(DWORD error) {
    Locked([&] { model.writeError = error; });
}
void SerialDriverModel::Remove() {
    Locked([] { model.removed = true, Signal(0, kCancelled); });
}
std::string SerialDriverModel::Written() {
    std::string written;
    Locked([&] { written = model.written; });
    return written;
}

}  // namespace test_support

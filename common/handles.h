// Owners of Win32 handles. Each closes what it holds when it goes out of
// scope, so every way out of a function, failures included, releases what it
// opened. The empty value is the one the API returns on failure:
// INVALID_HANDLE_VALUE for CreateFileW, null for events, threads and keys.
#pragma once

#include <windows.h>

#include <utility>

template <typename Value, Value (*kEmpty)(), auto Close>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(Value value) : value_(value) {}
    ~UniqueResource() { Reset(); }
    UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            Reset();
            value_ = other.Release();
        }
        return *this;
    }

    Value Get() const { return value_; }
    bool IsOpen() const { return value_ != kEmpty() && value_ != Value{}; }
    // Hands the value over to the caller, who closes it from now on.
    Value Release() { return std::exchange(value_, kEmpty()); }
    void Reset() {
        if (IsOpen()) {
            Close(value_);
        }
        value_ = kEmpty();
    }
    // For an API that returns the value through a pointer; closes what was held.
    Value* Put() {
        Reset();
        return &value_;
    }

private:
    Value value_ = kEmpty();
};

inline HANDLE InvalidHandle() {
    return INVALID_HANDLE_VALUE;
}
template <typename Value>
Value NullValue() {
    return nullptr;
}

// Files, devices and pipes: what CreateFileW returns.
using UniqueFile = UniqueResource<HANDLE, InvalidHandle, CloseHandle>;
// Events, threads and the other handles that are null on failure.
using UniqueKernelHandle = UniqueResource<HANDLE, NullValue<HANDLE>, CloseHandle>;
using UniqueRegistryKey = UniqueResource<HKEY, NullValue<HKEY>, RegCloseKey>;
using UniqueServiceHandle = UniqueResource<SC_HANDLE, NullValue<SC_HANDLE>, CloseServiceHandle>;
// Work for the system's thread pool.
using UniqueThreadpoolWork = UniqueResource<PTP_WORK, NullValue<PTP_WORK>, CloseThreadpoolWork>;

inline bool IsOpenHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// A writer thread: others queue items and go on, and the thread takes all
// that waits at once and writes it, so nobody who queues waits for the disk.
// Past its limit the queue counts what it is offered instead of keeping it,
// and a note of the count goes in where the loss was. A run of failed writes
// is reported once, and again only after a write has succeeded.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "common/handles.h"

template <typename Item>
struct WriterQueue {
    // Set before the thread starts.
    std::wstring path;  // what is written, as the failure report names it
    std::size_t limit = 0;
    bool closeOnFailure = false;
    // On the thread: ERROR_SUCCESS or why the items could not be written.
    DWORD (*write)(WriterQueue& queue, std::vector<Item>& items) = nullptr;
    Item (*lossNote)(std::size_t lost) = nullptr;
    void* owner = nullptr;
    // On the thread, for the first failure of a run: the system's error code.
    void (*reportFailure)(void* context, const std::wstring& path, DWORD error) = nullptr;
    void* reportContext = nullptr;

    SRWLOCK lock = SRWLOCK_INIT;
    std::atomic<bool> open{false};  // changed under lock: items are taken
    std::vector<Item> queued;       // under lock
    std::size_t size = 0;           // under lock: of the queued items, as offered
    std::size_t lost = 0;           // under lock: offered since the last one kept
    bool stopping = false;          // under lock
    UniqueKernelHandle ready{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueKernelHandle thread;
};

template <typename Item>
DWORD WINAPI ServeWriterQueue(LPVOID argument) {
    WriterQueue<Item>& queue = *static_cast<WriterQueue<Item>*>(argument);
    bool reported = false;
    for (;;) {
        WaitForSingleObject(queue.ready.Get(), INFINITE);
        std::vector<Item> items;
        AcquireSRWLockExclusive(&queue.lock);
        items.swap(queue.queued);
        if (queue.lost > 0) {
            items.push_back(queue.lossNote(std::exchange(queue.lost, 0)));
        }
        queue.size = 0;
        const bool stopping = queue.stopping;
        ReleaseSRWLockExclusive(&queue.lock);
        const DWORD error = items.empty() ? ERROR_SUCCESS : queue.write(queue, items);
        const bool failed = error != ERROR_SUCCESS;
        if (failed && queue.closeOnFailure) {
            AcquireSRWLockExclusive(&queue.lock);
            queue.open = false;
            queue.queued.clear();
            ReleaseSRWLockExclusive(&queue.lock);
        }
        if (failed && !reported && queue.reportFailure != nullptr) {
            queue.reportFailure(queue.reportContext, queue.path, error);
        }
        reported = failed;
        if (stopping || (failed && queue.closeOnFailure)) {
            return 0;
        }
    }
}

// Opens the queue, with first as what the thread writes first, and starts
// the thread. False when it cannot be started (GetLastError says why).
template <typename Item>
bool StartWriter(WriterQueue<Item>& queue, std::vector<Item> first = {}) {
    AcquireSRWLockExclusive(&queue.lock);
    queue.queued = std::move(first);
    queue.size = queue.lost = 0;
    queue.stopping = false;
    ReleaseSRWLockExclusive(&queue.lock);
    queue.thread = UniqueKernelHandle(
        queue.ready.IsOpen() ? CreateThread(nullptr, 0, ServeWriterQueue<Item>, &queue, 0, nullptr)
                             : nullptr);
    if (!queue.thread.IsOpen()) {
        return false;
    }
    AcquireSRWLockExclusive(&queue.lock);
    queue.open = true;
    ReleaseSRWLockExclusive(&queue.lock);
    SetEvent(queue.ready.Get());
    return true;
}

// Queues make() (size in the queue's measure) unless that would take the
// queue past its limit; never waits for the disk. False when it is closed.
template <typename Item, typename Make>
bool OfferToWriter(WriterQueue<Item>& queue, std::size_t size, Make make) {
    AcquireSRWLockExclusive(&queue.lock);
    const bool open = queue.open;
    if (open && queue.size + size > queue.limit) {
        queue.lost += size;
    } else if (open) {
        if (queue.lost > 0) {
            queue.queued.push_back(queue.lossNote(std::exchange(queue.lost, 0)));
        }
        queue.size += size;
        queue.queued.push_back(make());
    }
    ReleaseSRWLockExclusive(&queue.lock);
    if (open) {
        SetEvent(queue.ready.Get());
    }
    return open;
}

// ERROR_SUCCESS, or why not all of bytes went to the file.
inline DWORD WriteWhole(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

// Stopping waits kWriterStopMs for the thread, then, after cancelling its
// synchronous I/O, kWriterCancelMs more.
inline constexpr DWORD kWriterStopMs = 1000;
inline constexpr DWORD kWriterCancelMs = 500;

// LeftRunning: stuck in a write to a disk that does not answer, the thread
// is left to itself with the record, which must then outlive it.
enum class WriterStop { WasClosed, Stopped, LeftRunning };

// Closes the queue (with last as the last items, when it was open), lets the
// thread write what waits, and waits for it a little over a second at most.
template <typename Item>
WriterStop StopWriter(WriterQueue<Item>& queue, std::vector<Item> last = {}) {
    if (!queue.thread.IsOpen()) {
        return WriterStop::WasClosed;
    }
    AcquireSRWLockExclusive(&queue.lock);
    const bool wasOpen = queue.open;
    if (wasOpen) {
        queue.queued.insert(queue.queued.end(), last.begin(), last.end());
    }
    queue.open = false;
    queue.stopping = true;
    ReleaseSRWLockExclusive(&queue.lock);
    SetEvent(queue.ready.Get());
    if (WaitForSingleObject(queue.thread.Get(), kWriterStopMs) != WAIT_OBJECT_0) {
        // A synchronous write stuck in a driver can be cancelled
        // (CancelSynchronousIo); the writer then meets the failure and ends.
        CancelSynchronousIo(queue.thread.Get());
        if (WaitForSingleObject(queue.thread.Get(), kWriterCancelMs) != WAIT_OBJECT_0) {
            return WriterStop::LeftRunning;
        }
    }
    queue.thread.Reset();
    return wasOpen ? WriterStop::Stopped : WriterStop::WasClosed;
}

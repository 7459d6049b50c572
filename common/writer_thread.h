// A writer: others queue items and go on, and a thread of the system's
// pool takes all that waits at once and writes it, so nobody who queues
// waits for the disk, and no thread is kept for a writer with nothing to
// write (the service has one per bridge). Past its limit the queue counts
// what it is offered instead of keeping it, and a note of the count goes in
// where the loss was. A run of failed writes is reported once, and again
// only after a write has succeeded.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "common/handles.h"

template <typename Item>
struct WriterQueue;
template <typename Item>
void CALLBACK WriteQueued(PTP_CALLBACK_INSTANCE, PVOID argument, PTP_WORK);

template <typename Item>
struct WriterQueue {
    // Set before the writer starts.
    std::wstring path;  // what is written, as the failure report names it
    std::size_t limit = 0;
    bool closeOnFailure = false;
    // On the pool: ERROR_SUCCESS or why the items could not be written.
    DWORD (*write)(WriterQueue& queue, std::vector<Item>& items) = nullptr;
    Item (*lossNote)(std::size_t lost) = nullptr;
    void* owner = nullptr;
    // On the pool, for the first failure of a run: the system's error code.
    void (*reportFailure)(void* context, const std::wstring& path, DWORD error) = nullptr;
    void* reportContext = nullptr;

    SRWLOCK lock = SRWLOCK_INIT;
    std::atomic<bool> open{false};  // changed under lock: items are taken
    std::vector<Item> queued;       // under lock
    std::size_t size = 0;           // under lock: of the queued items, as offered
    std::size_t lost = 0;           // under lock: offered since the last one kept
    bool started = false;           // from StartWriter to StopWriter
    bool writing = false;           // under lock: the work is submitted or runs
    bool reported = false;          // on the work: a failure of this run was reported
    HANDLE runner = nullptr;        // under lock: the thread the work runs on
    UniqueKernelHandle idle{CreateEventW(nullptr, TRUE, TRUE, nullptr)};  // set while not writing
    UniqueThreadpoolWork work{CreateThreadpoolWork(WriteQueued<Item>, this, nullptr)};
};

// Under the queue's lock: submits the work unless it is submitted or runs.
template <typename Item>
void SubmitWriting(WriterQueue<Item>& queue) {
    if (!queue.writing) {
        queue.writing = true;
        ResetEvent(queue.idle.Get());
        SubmitThreadpoolWork(queue.work.Get());
    }
}

// Writes until nothing waits. The thread is named in runner meanwhile, so
// that a stop can cancel a write stuck in a driver.
template <typename Item>
void CALLBACK WriteQueued(PTP_CALLBACK_INSTANCE, PVOID argument, PTP_WORK) {
    WriterQueue<Item>& queue = *static_cast<WriterQueue<Item>*>(argument);
    HANDLE runner = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &runner,
                    THREAD_TERMINATE, FALSE, 0);
    const UniqueKernelHandle ownedRunner(runner);
    AcquireSRWLockExclusive(&queue.lock);
    queue.runner = runner;
    for (;;) {
        std::vector<Item> items;
        items.swap(queue.queued);
        if (queue.lost > 0) {
            items.push_back(queue.lossNote(std::exchange(queue.lost, 0)));
        }
        queue.size = 0;
        if (items.empty()) {
            break;
        }
        ReleaseSRWLockExclusive(&queue.lock);
        const DWORD error = queue.write(queue, items);
        const bool failed = error != ERROR_SUCCESS;
        if (failed && !queue.reported && queue.reportFailure != nullptr) {
            queue.reportFailure(queue.reportContext, queue.path, error);
        }
        queue.reported = failed;
        AcquireSRWLockExclusive(&queue.lock);
        if (failed && queue.closeOnFailure) {
            queue.open = false;
            queue.queued.clear();
        }
    }
    queue.runner = nullptr;
    queue.writing = false;
    // The last touch of the queue: a stop that waits for it may end it.
    SetEvent(queue.idle.Get());
    ReleaseSRWLockExclusive(&queue.lock);
}

// Opens the queue, with first as what is written first. False when the
// writer cannot be started (GetLastError says why).
template <typename Item>
bool StartWriter(WriterQueue<Item>& queue, std::vector<Item> first = {}) {
    if (!queue.work.IsOpen() || !queue.idle.IsOpen()) {
        return false;
    }
    AcquireSRWLockExclusive(&queue.lock);
    queue.queued = std::move(first);
    queue.size = queue.lost = 0;
    queue.reported = false;
    queue.started = true;
    queue.open = true;
    if (!queue.queued.empty()) {
        SubmitWriting(queue);
    }
    ReleaseSRWLockExclusive(&queue.lock);
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
        SubmitWriting(queue);
    }
    ReleaseSRWLockExclusive(&queue.lock);
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

// Stopping waits kWriterStopMs for the writing, then, after cancelling its
// synchronous I/O, kWriterCancelMs more.
inline constexpr DWORD kWriterStopMs = 1000;
inline constexpr DWORD kWriterCancelMs = 500;

// LeftRunning: stuck in a write to a disk that does not answer, the writing
// is left to itself with the record, which must then outlive it.
enum class WriterStop { WasClosed, Stopped, LeftRunning };

// Closes the queue (with last as the last items, when it was open), lets
// what waits be written, and waits for that a little over a second at most.
template <typename Item>
WriterStop StopWriter(WriterQueue<Item>& queue, std::vector<Item> last = {}) {
    if (!queue.started) {
        return WriterStop::WasClosed;
    }
    AcquireSRWLockExclusive(&queue.lock);
    const bool wasOpen = queue.open;
    if (wasOpen) {
        queue.queued.insert(queue.queued.end(), last.begin(), last.end());
    }
    queue.open = false;
    if (!queue.queued.empty()) {
        SubmitWriting(queue);
    }
    ReleaseSRWLockExclusive(&queue.lock);
    if (WaitForSingleObject(queue.idle.Get(), kWriterStopMs) != WAIT_OBJECT_0) {
        // A synchronous write stuck in a driver can be cancelled
        // (CancelSynchronousIo); the writer then meets the failure and ends.
        AcquireSRWLockExclusive(&queue.lock);
        if (queue.runner != nullptr) {
            CancelSynchronousIo(queue.runner);
        }
        ReleaseSRWLockExclusive(&queue.lock);
        if (WaitForSingleObject(queue.idle.Get(), kWriterCancelMs) != WAIT_OBJECT_0) {
            return WriterStop::LeftRunning;
        }
    }
    // The pool's bookkeeping of the work ends too before the record may go.
    WaitForThreadpoolWorkCallbacks(queue.work.Get(), FALSE);
    queue.started = false;
    return wasOpen ? WriterStop::Stopped : WriterStop::WasClosed;
}

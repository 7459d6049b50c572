// vmstub: a stand-in for the server end of a Hyper-V virtual machine's COM
// pipe, so tests can play the virtual machine over a plain TCP socket.
//
//   vmstub.exe --pipe NAME [--port TCPPORT] [--buffer BYTES]
//   vmstub.exe --connect NAME [--port TCPPORT]
//
// It creates \\.\pipe\NAME (duplex, byte mode, one instance, in and out
// buffers of BYTES, default 4096), waits for one client and bridges the
// client's bytes to and from one TCP connection accepted on
// 127.0.0.1:TCPPORT (0 or absent: any free port). Bytes are copied unchanged
// and in order in both directions; nothing is dropped while both sides stay
// connected. Until both sides are connected nothing is read from either, so
// early bytes wait in the pipe or in the socket instead of being lost.
//
// Status lines on stdout, each flushed at once:
//   tcp-port N                   the TCP port it listens on (always first)
//   listening                    a pipe instance exists and waits for a client
//   pipe-client-connected
//   pipe-client-gone dropped=N   the client closed its end; N bytes from TCP
//                                that were not yet written to it are dropped;
//                                the same instance then waits for a new client
//   tcp-client-connected
//   tcp-client-gone              another TCP connection is then accepted
//   paused | resumed             replies to pause / resume
//   disconnected                 reply to disconnect / close
//   stats pipe-to-tcp=N tcp-to-pipe=M   reply to stats (bytes relayed so far)
//   error TEXT                   a failure that the test should see
//   bye                          reply to quit, the last line
//
// Control lines on stdin:
//   pause          stop reading the pipe (it fills up; the client's writes
//                  then find it full); "paused" comes once no read is pending
//   resume         read the pipe again
//   disconnect [MS]  DisconnectNamedPipe, close the instance, and after MS
//                  milliseconds (default 0) create a new instance under the
//                  same name and wait for a new client, as a restarted VM
//   close          as disconnect, but no new instance until "open"
//   open           create the instance again after close
//   stats          report the byte totals
//   quit           end (so does the end of stdin)
// Killing the process makes the pipe disappear, as when a VM shuts down.
//
// With --connect it is a pipe client instead (a second program holding the
// pipe, or the far end for checking the server mode itself): it waits up to
// 30 s for \\.\pipe\NAME, opens it and bridges it to TCP the same way,
// printing "pipe-connected", and "pipe-server-gone" when the server closes
// its end (no reconnection). pause, resume, stats and quit work as above.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr DWORD kReadChunk = 65536;

void Emit(const std::string& line) {
    // Straight to the handle: the test waits on these lines, so no C runtime
    // buffering may hold them back.
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

// Commands arrive on a thread of their own, since a blocking console or pipe
// read cannot be waited on together with overlapped pipe and socket events.
struct CommandQueue {
    std::mutex lock;
    std::deque<std::string> lines;
    HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);

    void Push(std::string line) {
        {
            std::lock_guard<std::mutex> guard(lock);
            lines.push_back(std::move(line));
        }
        SetEvent(ready);
    }
    bool Pop(std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        if (lines.empty()) {
            return false;
        }
        line = std::move(lines.front());
        lines.pop_front();
        return true;
    }
};

CommandQueue Commands;

DWORD WINAPI ReadCommands(void*) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[512];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(input, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            break;
        }
        pending.append(buffer, got);
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
                line.pop_back();
            }
            if (!line.empty()) {
                Commands.Push(std::move(line));
            }
        }
    }
    // Whoever started us is gone: do not linger holding the pipe name.
    Commands.Push("quit");
    return 0;
}

struct Options {
    std::wstring pipeName;
    bool client = false;
    unsigned port = 0;
    DWORD buffer = 4096;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring key = argv[i];
        const wchar_t* value = argv[i + 1];
        if (key == L"--pipe" || key == L"--connect") {
            options.pipeName = value;
            options.client = key == L"--connect";
        } else if (key == L"--port") {
            options.port = static_cast<unsigned>(wcstoul(value, nullptr, 10));
        } else if (key == L"--buffer") {
            options.buffer = static_cast<DWORD>(wcstoul(value, nullptr, 10));
        } else {
            return false;
        }
    }
    return (argc % 2) == 1 && !options.pipeName.empty();
}

enum class PipeState { Closed, Listening, Connected };

class Bridge {
public:
    explicit Bridge(const Options& options)
        : pipePath_(L"\\\\.\\pipe\\" + options.pipeName),
          bufferSize_(options.buffer),
          client_(options.client) {
        connectOv_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        readOv_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        writeOv_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        reopenTimer_ = CreateWaitableTimerW(nullptr, TRUE, nullptr);
        listenEvent_ = WSACreateEvent();
        socketEvent_ = WSACreateEvent();
        readBuffer_.resize(kReadChunk);
    }

    bool Listen(unsigned port) {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener_ == INVALID_SOCKET) {
            return false;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 1) != 0) {
            return false;
        }
        int length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        WSAEventSelect(listener_, listenEvent_, FD_ACCEPT);
        Emit("tcp-port " + std::to_string(ntohs(address.sin_port)));
        return true;
    }

    int Run() {
        if (client_) {
            OpenClient();
        } else {
            OpenInstance();
        }
        for (;;) {
            if (!Pump()) {
                break;
            }
            // Only the events of operations still under way: the event of a
            // finished one stays signalled and would make this wait return
            // at once, keeping a processor busy while nothing moves.
            HANDLE events[7];
            DWORD count = 0;
            events[count++] = Commands.ready;
            events[count++] = listenEvent_;
            events[count++] = socketEvent_;
            if (connectPending_) {
                events[count++] = connectOv_.hEvent;
            }
            if (readPending_) {
                events[count++] = readOv_.hEvent;
            }
            if (writePending_) {
                events[count++] = writeOv_.hEvent;
            }
            if (reopenArmed_) {
                events[count++] = reopenTimer_;
            }
            // Every state change has its own event; the time-out is only a
            // safety net, long, since under Wine each look at an event or a
            // socket is a request to the server, which the program measured
            // beside this stand-in shares: only what woke the wait is asked
            // about, and an idle stand-in sleeps.
            const DWORD woken = WaitForMultipleObjects(count, events, FALSE, 5000);
            if (!HandleCommands()) {
                break;
            }
            HandleReopenTimer();
            HandleConnect();
            if (woken == WAIT_OBJECT_0 + 1) {
                HandleAccept();
            }
            if (woken == WAIT_OBJECT_0 + 2) {
                HandleSocketEvents();
            }
            // A finished pipe transfer is taken in at the top of Pump.
        }
        ClosePipe();
        Emit("bye");
        return 0;
    }

private:
    void OpenInstance() {
        pipe_ = CreateNamedPipeW(pipePath_.c_str(),
                                 PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                     FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, bufferSize_,
                                 bufferSize_, 0, nullptr);
        if (pipe_ == INVALID_HANDLE_VALUE) {
            Emit("error CreateNamedPipe " + std::to_string(GetLastError()));
            pipe_ = nullptr;
            state_ = PipeState::Closed;
            return;
        }
        StartConnect();
    }

    void OpenClient() {
        const DWORD start = GetTickCount();
        while (!WaitNamedPipeW(pipePath_.c_str(), 1000)) {
            if (GetTickCount() - start > 30000) {
                Emit("error WaitNamedPipe " + std::to_string(GetLastError()));
                return;
            }
            Sleep(50);  // an absent pipe fails the wait at once
        }
        pipe_ = CreateFileW(pipePath_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe_ == INVALID_HANDLE_VALUE) {
            pipe_ = nullptr;
            Emit("error CreateFile " + std::to_string(GetLastError()));
            return;
        }
        state_ = PipeState::Connected;
        Emit("pipe-connected");
    }

    void StartConnect() {
        state_ = PipeState::Listening;
        ResetEvent(connectOv_.hEvent);
        const BOOL done = ConnectNamedPipe(pipe_, &connectOv_);
        const DWORD error = GetLastError();
        Emit("listening");
        if (done || error == ERROR_PIPE_CONNECTED) {
            OnClientConnected();
        } else if (error == ERROR_IO_PENDING) {
            connectPending_ = true;
        } else {
            Emit("error ConnectNamedPipe " + std::to_string(error));
        }
    }

    void OnClientConnected() {
        connectPending_ = false;
        state_ = PipeState::Connected;
        Emit("pipe-client-connected");
    }

    // Ends whatever I/O is outstanding on the pipe, keeping the bytes of a
    // read that completed in the meantime, since they did leave the pipe.
    void CancelPipeIo() {
        if (pipe_ == nullptr) {
            return;
        }
        if (connectPending_ || readPending_ || writePending_) {
            CancelIoEx(pipe_, nullptr);
        }
        DWORD count = 0;
        if (connectPending_) {
            GetOverlappedResult(pipe_, &connectOv_, &count, TRUE);
            connectPending_ = false;
        }
        if (readPending_) {
            if (GetOverlappedResult(pipe_, &readOv_, &count, TRUE) && count > 0) {
                QueueForTcp(count);
            }
            readPending_ = false;
        }
        if (writePending_) {
            // What went before the cancel went into the pipe all the same.
            GetOverlappedResult(pipe_, &writeOv_, &count, TRUE);
            tcpToPipe_ += count;
            writePending_ = false;
            writing_.clear();
        }
    }

    void ClosePipe() {
        CancelPipeIo();
        if (pipe_ != nullptr) {
            if (!client_) {
                DisconnectNamedPipe(pipe_);
            }
            CloseHandle(pipe_);
            pipe_ = nullptr;
        }
        state_ = PipeState::Closed;
        toPipe_.clear();
    }

    void OnClientGone() {
        if (client_) {
            ClosePipe();
            Emit("pipe-server-gone");
            return;
        }
        CancelPipeIo();
        const size_t dropped = toPipe_.size() + writing_.size();
        toPipe_.clear();
        writing_.clear();
        DisconnectNamedPipe(pipe_);
        Emit("pipe-client-gone dropped=" + std::to_string(dropped));
        StartConnect();
    }

    bool HandleCommands() {
        std::string line;
        while (Commands.Pop(line)) {
            const size_t space = line.find(' ');
            const std::string verb = line.substr(0, space);
            const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
            if (verb == "quit") {
                return false;
            } else if (verb == "pause") {
                paused_ = true;
                if (readPending_) {
                    CancelIoEx(pipe_, &readOv_);
                    DWORD count = 0;
                    if (GetOverlappedResult(pipe_, &readOv_, &count, TRUE) && count > 0) {
                        QueueForTcp(count);
                    }
                    readPending_ = false;
                }
                Emit("paused");
            } else if (verb == "resume") {
                paused_ = false;
                Emit("resumed");
            } else if (client_ && (verb == "disconnect" || verb == "close" || verb == "open")) {
                Emit("error server-only " + verb);
            } else if (verb == "disconnect" || verb == "close") {
                ClosePipe();
                Emit("disconnected");
                if (verb == "disconnect") {
                    const long long delayMs = atoll(argument.c_str());
                    if (delayMs <= 0) {
                        OpenInstance();
                    } else {
                        LARGE_INTEGER due;
                        due.QuadPart = -delayMs * 10000;
                        SetWaitableTimer(reopenTimer_, &due, 0, nullptr, nullptr, FALSE);
                        reopenArmed_ = true;
                    }
                }
            } else if (verb == "open") {
                if (state_ == PipeState::Closed) {
                    reopenArmed_ = false;
                    CancelWaitableTimer(reopenTimer_);
                    OpenInstance();
                } else {
                    Emit("error already-open");
                }
            } else if (verb == "stats") {
                // Completions not yet collected belong in the totals: the
                // test may already hold the bytes they carried.
                HandleReadDone();
                HandleWriteDone();
                Emit("stats pipe-to-tcp=" + std::to_string(pipeToTcp_) +
                     " tcp-to-pipe=" + std::to_string(tcpToPipe_));
            } else {
                Emit("error unknown-command " + line);
            }
        }
        return true;
    }

    void HandleReopenTimer() {
        if (reopenArmed_ && WaitForSingleObject(reopenTimer_, 0) == WAIT_OBJECT_0) {
            reopenArmed_ = false;
            if (state_ == PipeState::Closed) {
                OpenInstance();
            }
        }
    }

    void HandleConnect() {
        if (!connectPending_ || !HasOverlappedIoCompleted(&connectOv_)) {
            return;
        }
        DWORD count = 0;
        if (GetOverlappedResult(pipe_, &connectOv_, &count, FALSE)) {
            OnClientConnected();
        } else {
            connectPending_ = false;
            Emit("error ConnectNamedPipe " + std::to_string(GetLastError()));
        }
    }

    void HandleAccept() {
        WSANETWORKEVENTS events{};
        if (WSAEnumNetworkEvents(listener_, listenEvent_, &events) != 0 ||
            !(events.lNetworkEvents & FD_ACCEPT)) {
            return;
        }
        const SOCKET accepted = accept(listener_, nullptr, nullptr);
        if (accepted == INVALID_SOCKET) {
            return;
        }
        if (tcp_ != INVALID_SOCKET) {
            // One test connection at a time; a second one is refused.
            closesocket(accepted);
            return;
        }
        tcp_ = accepted;
        const BOOL noDelay = TRUE;
        setsockopt(tcp_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
        WSAEventSelect(tcp_, socketEvent_, FD_READ | FD_WRITE | FD_CLOSE);
        tcpReadable_ = true;
        Emit("tcp-client-connected");
    }

    void HandleSocketEvents() {
        if (tcp_ == INVALID_SOCKET) {
            return;
        }
        WSANETWORKEVENTS events{};
        if (WSAEnumNetworkEvents(tcp_, socketEvent_, &events) != 0) {
            return;
        }
        if (events.lNetworkEvents & FD_CLOSE) {
            tcpClosing_ = true;
        }
        // A close is seen by the next receive too.
        if (events.lNetworkEvents & (FD_READ | FD_CLOSE)) {
            tcpReadable_ = true;
        }
    }

    void DropTcp() {
        closesocket(tcp_);
        tcp_ = INVALID_SOCKET;
        tcpClosing_ = false;
        toTcp_.clear();
        WSAResetEvent(socketEvent_);
        Emit("tcp-client-gone");
    }

    void QueueForTcp(DWORD count) {
        toTcp_.insert(toTcp_.end(), readBuffer_.begin(), readBuffer_.begin() + count);
        pipeToTcp_ += count;
    }

    void HandleReadDone() {
        if (!readPending_ || !HasOverlappedIoCompleted(&readOv_)) {
            return;
        }
        readPending_ = false;
        DWORD count = 0;
        if (GetOverlappedResult(pipe_, &readOv_, &count, FALSE)) {
            QueueForTcp(count);
            return;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_MORE_DATA) {
            QueueForTcp(count);
        } else if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
            OnClientGone();
        } else if (error != ERROR_OPERATION_ABORTED) {
            Emit("error ReadFile " + std::to_string(error));
            OnClientGone();
        }
    }

    void HandleWriteDone() {
        if (!writePending_ || !HasOverlappedIoCompleted(&writeOv_)) {
            return;
        }
        writePending_ = false;
        DWORD count = 0;
        if (GetOverlappedResult(pipe_, &writeOv_, &count, FALSE)) {
            tcpToPipe_ += count;
            // A short write leaves the rest at the front of the queue, in order.
            toPipe_.insert(toPipe_.begin(), writing_.begin() + count, writing_.end());
            writing_.clear();
            return;
        }
        const DWORD error = GetLastError();
        tcpToPipe_ += count;  // what went before the failure
        writing_.clear();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
            error == ERROR_NO_DATA) {
            OnClientGone();
        } else if (error != ERROR_OPERATION_ABORTED) {
            Emit("error WriteFile " + std::to_string(error));
        }
    }

    // Starts every transfer that can go ahead now; returns false only when
    // the program should end.
    bool Pump() {
        for (bool progress = true; progress;) {
            progress = false;
            // A pipe transfer that finished meanwhile is taken in at once,
            // so that a busy way does not starve the other.
            HandleReadDone();
            HandleWriteDone();
            // Pipe to TCP: send what is queued, then read more only when the
            // queue is empty, so a slow TCP reader holds the pipe back.
            if (tcp_ != INVALID_SOCKET && !toTcp_.empty()) {
                const int sent = send(tcp_, toTcp_.data(), static_cast<int>(toTcp_.size()), 0);
                if (sent > 0) {
                    toTcp_.erase(toTcp_.begin(), toTcp_.begin() + sent);
                    progress = true;
                } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
                    DropTcp();
                    continue;
                }
            }
            if (tcp_ != INVALID_SOCKET && state_ == PipeState::Connected && !paused_ &&
                !readPending_ && toTcp_.empty()) {
                // ReadFile and WriteFile reset the event as they begin.
                const BOOL done =
                    ReadFile(pipe_, readBuffer_.data(), kReadChunk, nullptr, &readOv_);
                const DWORD error = GetLastError();
                if (done || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
                    readPending_ = true;
                    HandleReadDone();
                    progress = !readPending_;
                } else if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
                    OnClientGone();
                } else {
                    Emit("error ReadFile " + std::to_string(error));
                    OnClientGone();
                }
            }
            // TCP to pipe: take more from the socket only once the pipe has
            // taken everything before it, and until a receive finds nothing,
            // then only once FD_READ comes again.
            if (tcp_ != INVALID_SOCKET && state_ == PipeState::Connected && toPipe_.empty() &&
                !writePending_ && tcpReadable_) {
                char chunk[16384];
                const int got = recv(tcp_, chunk, sizeof chunk, 0);
                if (got > 0) {
                    toPipe_.insert(toPipe_.end(), chunk, chunk + got);
                    progress = true;
                } else if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
                    tcpReadable_ = false;
                } else {
                    DropTcp();
                    continue;
                }
            }
            if (state_ == PipeState::Connected && !toPipe_.empty() && !writePending_) {
                writing_.swap(toPipe_);
                toPipe_.clear();
                const BOOL done = WriteFile(pipe_, writing_.data(),
                                            static_cast<DWORD>(writing_.size()), nullptr, &writeOv_);
                const DWORD error = GetLastError();
                if (done || error == ERROR_IO_PENDING) {
                    writePending_ = true;
                    HandleWriteDone();
                    progress = !writePending_;
                } else {
                    OnClientGone();
                }
            }
            // Without a pipe client nobody reads the socket, so its close is
            // only seen as a notification.
            if (tcp_ != INVALID_SOCKET && tcpClosing_ && state_ != PipeState::Connected) {
                DropTcp();
            }
        }
        return true;
    }

    std::wstring pipePath_;
    DWORD bufferSize_;
    bool client_;
    HANDLE pipe_ = nullptr;
    PipeState state_ = PipeState::Closed;
    OVERLAPPED connectOv_{};
    OVERLAPPED readOv_{};
    OVERLAPPED writeOv_{};
    bool connectPending_ = false;
    bool readPending_ = false;
    bool writePending_ = false;
    bool paused_ = false;
    HANDLE reopenTimer_ = nullptr;
    bool reopenArmed_ = false;
    std::vector<char> readBuffer_;
    std::vector<char> toTcp_;
    std::vector<char> toPipe_;
    std::vector<char> writing_;
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET tcp_ = INVALID_SOCKET;
    bool tcpClosing_ = false;
    bool tcpReadable_ = false;
    WSAEVENT listenEvent_ = nullptr;
    WSAEVENT socketEvent_ = nullptr;
    unsigned long long pipeToTcp_ = 0;
    unsigned long long tcpToPipe_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        fputs("usage: vmstub.exe --pipe NAME [--port TCPPORT] [--buffer BYTES]\n"
              "       vmstub.exe --connect NAME [--port TCPPORT]\n",
              stderr);
        return 2;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        Emit("error WSAStartup");
        return 1;
    }
    Bridge bridge(options);
    if (!bridge.Listen(options.port)) {
        Emit("error listen " + std::to_string(WSAGetLastError()));
        return 1;
    }
    CreateThread(nullptr, 0, ReadCommands, nullptr, 0, nullptr);
    const int code = bridge.Run();
    // The command reader may still sit in a blocking read of stdin.
    ExitProcess(static_cast<UINT>(code));
}

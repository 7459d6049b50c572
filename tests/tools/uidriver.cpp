// uidriver: drives and reads the windows of a program under test from inside
// the same Wine prefix (or the same Windows session), for end-to-end tests.
//
// Protocol: one command per line on stdin (UTF-8), one reply line per command
// on stdout, beginning "ok" or "err". Fields are separated by single spaces
// and escaped so that any text fits in one field on one line:
//   \\ backslash   \s space   \t tab   \n line feed   \r carriage return
//   \e (a whole field) the empty text
// HWND values are written as 0x-prefixed hex; ids and numbers in decimal
// (any base accepted on input). ID "self" names the window itself instead
// of one of its controls.
//
// Processes
//   launch PATH [ARG...]            -> ok PID    start normally
//   launch-restricted PATH [ARG...] -> ok PID    start under a restricted token
//                                   in which Administrators is deny-only
//   admin PID                       -> ok 1|0    is the process's token a member
//                                   of Administrators (CheckTokenMembership)
//   wait-exit PID TIMEOUT_MS        -> ok CODE | err timeout
//   exit-code PID                   -> ok running | ok CODE
//   kill PID                        -> ok        TerminateProcess, code 1
//   cpu PID                         -> ok KERNEL_US USER_US   GetProcessTimes
//                                   (Wine reports no times of other processes)
//   pipe-exists NAME                -> ok absent|busy|available  \\.\pipe\NAME
//   process IMAGE                   -> ok PID THREADS HANDLES  the one process of
//                                   that image name (GetProcessHandleCount)
// Windows (top-level windows of a process)
//   windows PID                     -> ok {HWND CLASS VISIBLE CAPTION}...
//   find-window PID CLASS CAPTION   -> ok HWND | err not-found
//                                   visible windows only; CLASS "*" for any
//   boxes PID                       -> ok HWND...   visible message boxes;
//                                   err ended once the process has ended
//   box HWND                        -> ok CAPTION TEXT {BUTTON_ID BUTTON_TEXT}...
//                                   err gone for a box closed meanwhile
//   controls HWND                   -> ok {ID CLASS ENABLED VISIBLE TEXT}...
// Reading controls
//   text HWND ID                    -> ok TEXT   WM_GETTEXT; err busy if the
//                                   owning thread does not answer in 3 s
//   wtext HWND ID                   -> ok TEXT   the system's copy of the window
//                                   text (never blocks; stale for edits)
//   enabled HWND ID                 -> ok 1|0
//   visible HWND ID                 -> ok 1|0
//   checked HWND ID                 -> ok 0|1|2  BM_GETCHECK
//   combo HWND ID                   -> ok SELECTED_INDEX COUNT TEXT...
//                                   (of a combo box or a list box)
//   icon HWND ID                    -> ok COLOUR R G B SOURCE  dominant colour
//                                   of the icon shown (STM_GETICON, or
//                                   BM_GETIMAGE for a button); COLOUR is grey,
//                                   red, orange, yellow, green, cyan, blue,
//                                   magenta or none (no icon). SOURCE "icon":
//                                   read from the icon's bitmaps; "screen": Wine
//                                   refuses GetIconInfo on another process's
//                                   icon, so the pixels come from the screen
//                                   inside the control (it must be uncovered)
//   screen-colour HWND ID           -> ok COLOUR R G B  the same from the screen
//   rect HWND ID                    -> ok LEFT TOP RIGHT BOTTOM (screen pixels)
//   focus HWND                      -> ok HWND   focus window of its thread
// Acting as a user
//   set-text HWND ID TEXT           -> ok        WM_SETTEXT
//   combo-select HWND ID INDEX      -> ok        CB_SETCURSEL, then CBN_SELCHANGE
//                                   (LB_SETCURSEL, LBN_SELCHANGE for a list box)
//                                   to the parent as the control would send it
//   click HWND ID                   -> ok        posts BM_CLICK (never blocks,
//                                   even when the press opens a modal dialog);
//                                   err disabled / err hidden as for a user
//   command HWND ID                 -> ok        posts WM_COMMAND(ID, BN_CLICKED)
//   syscommand HWND ID              -> ok        posts WM_SYSCOMMAND(ID): a system menu command
//   key HWND enter|escape|tab|space -> ok        posts the key to the dialog's
//                                   focus control, for its dialog manager
//   sys-close HWND                  -> ok        posts SC_CLOSE (the close box)
// Registry (KEY starts with HKLM\ or HKCU\; 64-bit view)
//   reg-set-sz KEY NAME TEXT        -> ok
//   reg-set-dword KEY NAME NUMBER   -> ok
//   reg-set-raw KEY NAME TYPE HEX   -> ok   TYPE as a number or REG_* name
//   reg-query KEY NAME              -> ok TYPE DATA | err missing
//   reg-values KEY                  -> ok {NAME TYPE DATA}... | err missing
//   reg-key-exists KEY              -> ok 1|0
//   reg-delete-value KEY NAME       -> ok
//   reg-delete-tree KEY             -> ok   (also when it does not exist)
//   DATA: REG_SZ and REG_EXPAND_SZ as text, REG_DWORD and REG_QWORD in
//   decimal, anything else as hex bytes.
// Other
//   ping                            -> ok pong
//   quit                            -> ok bye, then the driver ends
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

using Fields = std::vector<std::wstring>;

constexpr UINT kSendTimeoutMs = 3000;

// --- text encoding and escaping --------------------------------------------

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::string ToUtf8(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                        length, nullptr, nullptr);
    return text;
}

std::wstring Escape(const std::wstring& text) {
    if (text.empty()) {
        return L"\\e";
    }
    std::wstring out;
    for (const wchar_t c : text) {
        switch (c) {
            case L'\\': out += L"\\\\"; break;
            case L' ': out += L"\\s"; break;
            case L'\t': out += L"\\t"; break;
            case L'\n': out += L"\\n"; break;
            case L'\r': out += L"\\r"; break;
            default: out += c; break;
        }
    }
    return out;
}

std::wstring Unescape(const std::wstring& field) {
    if (field == L"\\e") {
        return {};
    }
    std::wstring out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != L'\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        switch (field[++i]) {
            case L's': out += L' '; break;
            case L't': out += L'\t'; break;
            case L'n': out += L'\n'; break;
            case L'r': out += L'\r'; break;
            default: out += field[i]; break;
        }
    }
    return out;
}

Fields Split(const std::wstring& line) {
    Fields fields;
    size_t start = 0;
    while (start <= line.size()) {
        size_t end = line.find(L' ', start);
        if (end == std::wstring::npos) {
            end = line.size();
        }
        if (end > start) {
            fields.push_back(Unescape(line.substr(start, end - start)));
        }
        start = end + 1;
    }
    return fields;
}

void Reply(const std::wstring& line) {
    const std::string text = ToUtf8(line) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

struct Answer {
    bool ok = true;
    std::wstring body;

    Answer& Add(const std::wstring& field) {
        body += L' ';
        body += Escape(field);
        return *this;
    }
    Answer& Add(unsigned long long number) { return Add(std::to_wstring(number)); }
};

Answer Ok() { return {}; }

Answer Err(const std::wstring& why) {
    Answer answer;
    answer.ok = false;
    answer.body = L" " + Escape(why);
    return answer;
}

std::wstring Hex(uintptr_t value) {
    wchar_t text[32];
    swprintf(text, 32, L"0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::wstring Win32Error(const wchar_t* what, DWORD code = GetLastError()) {
    return std::wstring(what) + L" failed, error " + std::to_wstring(code);
}

bool ParseNumber(const std::wstring& text, long long& value) {
    if (text.empty()) {
        return false;
    }
    wchar_t* end = nullptr;
    value = wcstoll(text.c_str(), &end, 0);
    return end != nullptr && *end == L'\0';
}

// --- windows ---------------------------------------------------------------

bool ParseWindow(const std::wstring& text, HWND& window) {
    long long value = 0;
    if (!ParseNumber(text, value) || !IsWindow(reinterpret_cast<HWND>(value))) {
        return false;
    }
    window = reinterpret_cast<HWND>(value);
    return true;
}

// Resolves "HWND ID" to a window: ID "self" is the window, anything else a
// control of it.
bool ParseTarget(const Fields& f, size_t at, HWND& target, std::wstring& why) {
    HWND window = nullptr;
    if (f.size() < at + 2 || !ParseWindow(f[at], window)) {
        why = L"no-such-window";
        return false;
    }
    if (f[at + 1] == L"self") {
        target = window;
        return true;
    }
    long long id = 0;
    if (!ParseNumber(f[at + 1], id)) {
        why = L"bad-id";
        return false;
    }
    target = GetDlgItem(window, static_cast<int>(id));
    if (target == nullptr) {
        why = L"no-such-control";
        return false;
    }
    return true;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = L"";
    GetClassNameW(window, name, 256);
    return name;
}

std::wstring SystemText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
    const int got = InternalGetWindowText(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(std::max(got, 0)));
    return text;
}

// The window's own answer to WM_GETTEXT, which is what edits hold; fails when
// the owning thread is busy (a blocked user-interface thread).
bool MessageText(HWND window, std::wstring& text) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kSendTimeoutMs,
                             &length)) {
        return false;
    }
    std::vector<wchar_t> buffer(length + 64, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(),
                             reinterpret_cast<LPARAM>(buffer.data()), SMTO_NORMAL, kSendTimeoutMs,
                             &copied)) {
        return false;
    }
    text.assign(buffer.data(), std::min<size_t>(copied, buffer.size() - 1));
    return true;
}

std::vector<HWND> TopLevelWindows(DWORD pid) {
    struct Search {
        DWORD pid;
        std::vector<HWND> found;
    } search{pid, {}};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == s->pid) {
                s->found.push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> found;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        found.push_back(child);
    }
    return found;
}

// A message box is a dialog whose children are only its text (id 0xFFFF),
// its icon and standard buttons (IDOK to IDCONTINUE): that tells it from the
// program's own dialogs, whose controls carry ids of their own.
bool IsMessageBox(HWND window) {
    if (ClassOf(window) != L"#32770" || !IsWindowVisible(window)) {
        return false;
    }
    bool hasText = false;
    for (HWND child : Children(window)) {
        const int id = GetDlgCtrlID(child) & 0xFFFF;
        const std::wstring kind = ClassOf(child);
        if (id == 0xFFFF && _wcsicmp(kind.c_str(), L"Static") == 0) {
            hasText = true;
        } else if (_wcsicmp(kind.c_str(), L"Button") == 0 && id >= IDOK && id <= 11) {
            continue;
        } else if (_wcsicmp(kind.c_str(), L"Static") == 0 && (id == 20 || id == 0x440)) {
            continue;  // the icon: 20 on Windows, 0x440 under Wine
        } else {
            return false;
        }
    }
    return hasText;
}

// --- processes -------------------------------------------------------------

std::map<DWORD, HANDLE> Launched;

HANDLE ProcessHandle(const std::wstring& text) {
    long long pid = 0;
    if (!ParseNumber(text, pid)) {
        return nullptr;
    }
    const auto known = Launched.find(static_cast<DWORD>(pid));
    if (known != Launched.end()) {
        return known->second;
    }
    const HANDLE opened = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE,
                                      FALSE, static_cast<DWORD>(pid));
    if (opened != nullptr) {
        Launched[static_cast<DWORD>(pid)] = opened;
    }
    return opened;
}

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
            backslashes = 0;
        } else {
            backslashes = 0;
        }
        quoted += c;
    }
    quoted.append(backslashes, L'\\');
    return quoted + L"\"";
}

PSID AdministratorsSid() {
    static BYTE storage[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof storage;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, storage, &size)) {
        return nullptr;
    }
    return storage;
}

Answer Launch(const Fields& f, bool restricted) {
    if (f.size() < 2) {
        return Err(L"usage: launch PATH [ARG...]");
    }
    std::wstring commandLine;
    for (size_t i = 1; i < f.size(); ++i) {
        commandLine += (i > 1 ? L" " : L"") + QuoteArgument(f[i]);
    }
    std::wstring directory = f[1];
    const size_t slash = directory.find_last_of(L"\\/");
    directory = slash == std::wstring::npos ? std::wstring() : directory.substr(0, slash);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    BOOL created = FALSE;
    if (!restricted) {
        created = CreateProcessW(f[1].c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                 nullptr, directory.empty() ? nullptr : directory.c_str(), &startup,
                                 &process);
    } else {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(),
                              TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY |
                                  TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                              &token)) {
            return Err(Win32Error(L"OpenProcessToken"));
        }
        SID_AND_ATTRIBUTES denyOnly{AdministratorsSid(), 0};
        HANDLE restrictedToken = nullptr;
        const BOOL made = CreateRestrictedToken(token, 0, 1, &denyOnly, 0, nullptr, 0, nullptr,
                                                &restrictedToken);
        const DWORD error = GetLastError();
        CloseHandle(token);
        if (!made) {
            return Err(Win32Error(L"CreateRestrictedToken", error));
        }
        created = CreateProcessAsUserW(restrictedToken, f[1].c_str(), commandLine.data(), nullptr,
                                       nullptr, FALSE, 0, nullptr,
                                       directory.empty() ? nullptr : directory.c_str(), &startup,
                                       &process);
        const DWORD createError = GetLastError();
        CloseHandle(restrictedToken);
        SetLastError(createError);
    }
    if (!created) {
        return Err(Win32Error(L"CreateProcess"));
    }
    CloseHandle(process.hThread);
    Launched[process.dwProcessId] = process.hProcess;
    return Ok().Add(process.dwProcessId);
}

Answer Admin(const Fields& f) {
    const HANDLE process = f.size() == 2 ? ProcessHandle(f[1]) : nullptr;
    if (process == nullptr) {
        return Err(L"no-such-process");
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY | TOKEN_DUPLICATE, &token)) {
        return Err(Win32Error(L"OpenProcessToken"));
    }
    // CheckTokenMembership wants an impersonation token.
    HANDLE impersonation = nullptr;
    const BOOL duplicated = DuplicateToken(token, SecurityIdentification, &impersonation);
    CloseHandle(token);
    if (!duplicated) {
        return Err(Win32Error(L"DuplicateToken"));
    }
    BOOL member = FALSE;
    const BOOL checked = CheckTokenMembership(impersonation, AdministratorsSid(), &member);
    CloseHandle(impersonation);
    if (!checked) {
        return Err(Win32Error(L"CheckTokenMembership"));
    }
    return Ok().Add(member ? 1 : 0);
}

Answer WaitExit(const Fields& f) {
    long long timeout = 0;
    const HANDLE process = f.size() == 3 ? ProcessHandle(f[1]) : nullptr;
    if (process == nullptr || !ParseNumber(f[2], timeout)) {
        return Err(L"usage: wait-exit PID TIMEOUT_MS");
    }
    if (WaitForSingleObject(process, static_cast<DWORD>(timeout)) != WAIT_OBJECT_0) {
        return Err(L"timeout");
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return Ok().Add(code);
}

Answer ExitCode(const Fields& f) {
    const HANDLE process = f.size() == 2 ? ProcessHandle(f[1]) : nullptr;
    if (process == nullptr) {
        return Err(L"no-such-process");
    }
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
        return Ok().Add(L"running");
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return Ok().Add(code);
}

Answer Kill(const Fields& f) {
    const HANDLE process = f.size() == 2 ? ProcessHandle(f[1]) : nullptr;
    if (process == nullptr) {
        return Err(L"no-such-process");
    }
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0 && !TerminateProcess(process, 1)) {
        return Err(Win32Error(L"TerminateProcess"));
    }
    WaitForSingleObject(process, 5000);
    return Ok();
}

Answer Cpu(const Fields& f) {
    const HANDLE process = f.size() == 2 ? ProcessHandle(f[1]) : nullptr;
    if (process == nullptr) {
        return Err(L"no-such-process");
    }
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return Err(Win32Error(L"GetProcessTimes"));
    }
    auto micros = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10;
    };
    return Ok().Add(micros(kernel)).Add(micros(user));
}

Answer ProcessCounts(const Fields& f) {
    if (f.size() != 2) {
        return Err(L"usage: process IMAGE");
    }
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD pid = 0, threads = 0, found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, f[1].c_str()) == 0) {
            pid = entry.th32ProcessID;
            threads = entry.cntThreads;
            ++found;
        }
    }
    CloseHandle(snapshot);
    if (found != 1) {
        return Err(found == 0 ? L"not-found" : L"ambiguous");
    }
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    DWORD handles = 0;
    const bool counted = process != nullptr && GetProcessHandleCount(process, &handles);
    if (process != nullptr) {
        CloseHandle(process);
    }
    if (!counted) {
        return Err(Win32Error(L"GetProcessHandleCount"));
    }
    return Ok().Add(pid).Add(threads).Add(handles);
}

Answer PipeExists(const Fields& f) {
    if (f.size() != 2) {
        return Err(L"usage: pipe-exists NAME");
    }
    const std::wstring path = L"\\\\.\\pipe\\" + f[1];
    if (WaitNamedPipeW(path.c_str(), 1)) {
        return Ok().Add(L"available");
    }
    const DWORD error = GetLastError();
    return Ok().Add(error == ERROR_FILE_NOT_FOUND ? L"absent" : L"busy");
}

// --- window commands -------------------------------------------------------

DWORD PidArgument(const Fields& f, size_t at) {
    long long pid = 0;
    return f.size() > at && ParseNumber(f[at], pid) ? static_cast<DWORD>(pid) : 0;
}

Answer Windows(const Fields& f) {
    if (f.size() != 2) {
        return Err(L"usage: windows PID");
    }
    Answer answer = Ok();
    for (HWND window : TopLevelWindows(PidArgument(f, 1))) {
        answer.Add(Hex(reinterpret_cast<uintptr_t>(window)))
            .Add(ClassOf(window))
            .Add(IsWindowVisible(window) ? 1 : 0)
            .Add(SystemText(window));
    }
    return answer;
}

Answer FindWindowOf(const Fields& f) {
    if (f.size() != 4) {
        return Err(L"usage: find-window PID CLASS CAPTION");
    }
    for (HWND window : TopLevelWindows(PidArgument(f, 1))) {
        if (IsWindowVisible(window) && (f[2] == L"*" || ClassOf(window) == f[2]) &&
            SystemText(window) == f[3]) {
            return Ok().Add(Hex(reinterpret_cast<uintptr_t>(window)));
        }
    }
    return Err(L"not-found");
}

Answer Boxes(const Fields& f) {
    const HANDLE process = f.size() == 2 ? ProcessHandle(f[1]) : nullptr;
    if (process == nullptr) {
        return Err(L"no-such-process");
    }
    // An ended program shows no box: answering "none" would pass every
    // check that none is shown.
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        return Err(L"ended");
    }
    Answer answer = Ok();
    for (HWND window : TopLevelWindows(PidArgument(f, 1))) {
        if (IsMessageBox(window)) {
            answer.Add(Hex(reinterpret_cast<uintptr_t>(window)));
        }
    }
    return answer;
}

Answer Box(const Fields& f) {
    long long value = 0;
    if (f.size() != 2 || !ParseNumber(f[1], value)) {
        return Err(L"usage: box HWND");
    }
    // "gone" only for a box that closed after it was listed; every other
    // failure to read one is an error of its own.
    const HWND box = reinterpret_cast<HWND>(value);
    if (!IsWindow(box) || !IsWindowVisible(box)) {
        return Err(L"gone");
    }
    bool hasText = false;
    std::wstring text;
    std::vector<std::pair<int, std::wstring>> buttons;
    for (HWND child : Children(box)) {
        const int id = GetDlgCtrlID(child) & 0xFFFF;
        if (id == 0xFFFF) {
            text = SystemText(child);
            hasText = true;
        } else if (_wcsicmp(ClassOf(child).c_str(), L"Button") == 0 && IsWindowVisible(child)) {
            buttons.emplace_back(id, SystemText(child));
        }
    }
    if (!hasText || buttons.empty()) {
        return Err(IsWindow(box) ? L"unreadable" : L"gone");
    }
    Answer answer = Ok();
    answer.Add(SystemText(box)).Add(text);
    for (const auto& [id, label] : buttons) {
        answer.Add(static_cast<unsigned long long>(id)).Add(label);
    }
    return answer;
}

Answer Controls(const Fields& f) {
    HWND window = nullptr;
    if (f.size() != 2 || !ParseWindow(f[1], window)) {
        return Err(L"no-such-window");
    }
    Answer answer = Ok();
    for (HWND child : Children(window)) {
        answer.Add(std::to_wstring(static_cast<short>(GetDlgCtrlID(child))))
            .Add(ClassOf(child))
            .Add(IsWindowEnabled(child) ? 1 : 0)
            .Add(IsWindowVisible(child) ? 1 : 0)
            .Add(SystemText(child));
    }
    return answer;
}

Answer Text(const Fields& f, bool viaMessage) {
    HWND target = nullptr;
    std::wstring why;
    if (!ParseTarget(f, 1, target, why)) {
        return Err(why);
    }
    if (!viaMessage) {
        return Ok().Add(SystemText(target));
    }
    std::wstring text;
    if (!MessageText(target, text)) {
        return Err(L"busy");
    }
    return Ok().Add(text);
}

Answer Flag(const Fields& f, BOOL (*test)(HWND)) {
    HWND target = nullptr;
    std::wstring why;
    if (!ParseTarget(f, 1, target, why)) {
        return Err(why);
    }
    return Ok().Add(test(target) ? 1 : 0);
}

Answer Checked(const Fields& f) {
    HWND target = nullptr;
    std::wstring why;
    if (!ParseTarget(f, 1, target, why)) {
        return Err(why);
    }
    DWORD_PTR state = 0;
    if (!SendMessageTimeoutW(target, BM_GETCHECK, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &state)) {
        return Err(L"busy");
    }
    return Ok().Add(state);
}

// The messages of a combo box, or of a list box, which has the same ones.
struct ListMessages {
    UINT getSelection, getCount, getTextLength, getText, setSelection;
    WORD selectionChanged;
};
ListMessages MessagesOf(HWND control) {
    wchar_t name[32] = {};
    GetClassNameW(control, name, 32);
    if (_wcsicmp(name, L"ListBox") == 0) {
        return {LB_GETCURSEL, LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT, LB_SETCURSEL, LBN_SELCHANGE};
    }
    return {CB_GETCURSEL, CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT, CB_SETCURSEL, CBN_SELCHANGE};
}

Answer Combo(const Fields& f) {
    HWND combo = nullptr;
    std::wstring why;
    if (!ParseTarget(f, 1, combo, why)) {
        return Err(why);
    }
    const ListMessages m = MessagesOf(combo);
    DWORD_PTR selected = 0;
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(combo, m.getSelection, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &selected) ||
        !SendMessageTimeoutW(combo, m.getCount, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &count)) {
        return Err(L"busy");
    }
    Answer answer = Ok();
    answer.Add(std::to_wstring(static_cast<int>(selected))).Add(count);
    for (DWORD_PTR i = 0; i < count && static_cast<LRESULT>(count) != CB_ERR; ++i) {
        DWORD_PTR length = 0;
        if (!SendMessageTimeoutW(combo, m.getTextLength, i, 0, SMTO_NORMAL, kSendTimeoutMs,
                                 &length) ||
            static_cast<LRESULT>(length) == CB_ERR) {
            return Err(L"busy");
        }
        std::vector<wchar_t> buffer(length + 1, L'\0');
        DWORD_PTR copied = 0;
        if (!SendMessageTimeoutW(combo, m.getText, i, reinterpret_cast<LPARAM>(buffer.data()),
                                 SMTO_NORMAL, kSendTimeoutMs, &copied)) {
            return Err(L"busy");
        }
        answer.Add(std::wstring(buffer.data()));
    }
    return answer;
}

Answer Rect(const Fields& f) {
    HWND target = nullptr;
    std::wstring why;
    if (!ParseTarget(f, 1, target, why)) {
        return Err(why);
    }
    RECT r{};
    GetWindowRect(target, &r);
    return Ok()
        .Add(std::to_wstring(r.left))
        .Add(std::to_wstring(r.top))
        .Add(std::to_wstring(r.right))
        .Add(std::to_wstring(r.bottom));
}

Answer Focus(const Fields& f) {
    HWND window = nullptr;
    if (f.size() != 2 || !ParseWindow(f[1], window)) {
        return Err(L"no-such-window");
    }
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) {
        return Err(Win32Error(L"GetGUIThreadInfo"));
    }
    return Ok().Add(Hex(reinterpret_cast<uintptr_t>(info.hwndFocus)));
}

Answer SetText(const Fields& f) {
    HWND target = nullptr;
    std::wstring why;
    if (f.size() != 4 || !ParseTarget(f, 1, target, why)) {
        return Err(why.empty() ? L"usage: set-text HWND ID TEXT" : why);
    }
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(target, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(f[3].c_str()),
                             SMTO_NORMAL, kSendTimeoutMs, &result)) {
        return Err(L"busy");
    }
    return Ok();
}

Answer ComboSelect(const Fields& f) {
    HWND combo = nullptr;
    std::wstring why;
    long long index = 0;
    if (f.size() != 4 || !ParseTarget(f, 1, combo, why) || !ParseNumber(f[3], index)) {
        return Err(why.empty() ? L"usage: combo-select HWND ID INDEX" : why);
    }
    if (!IsWindowEnabled(combo)) {
        return Err(L"disabled");
    }
    const ListMessages m = MessagesOf(combo);
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(combo, m.setSelection, static_cast<WPARAM>(index), 0, SMTO_NORMAL,
                             kSendTimeoutMs, &result)) {
        return Err(L"busy");
    }
    if (static_cast<LRESULT>(result) == CB_ERR && index >= 0) {
        return Err(L"no-such-entry");
    }
    // Posted, not sent: the dialog may answer the change with a modal box.
    const int id = GetDlgCtrlID(combo);
    PostMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(id, m.selectionChanged),
                 reinterpret_cast<LPARAM>(combo));
    return Ok();
}

Answer Click(const Fields& f) {
    HWND button = nullptr;
    std::wstring why;
    if (!ParseTarget(f, 1, button, why)) {
        return Err(why);
    }
    if (!IsWindowVisible(button)) {
        return Err(L"hidden");
    }
    if (!IsWindowEnabled(button)) {
        return Err(L"disabled");
    }
    if (!PostMessageW(button, BM_CLICK, 0, 0)) {
        return Err(Win32Error(L"PostMessage"));
    }
    return Ok();
}

Answer Command(const Fields& f) {
    HWND window = nullptr;
    long long id = 0;
    if (f.size() != 3 || !ParseWindow(f[1], window) || !ParseNumber(f[2], id)) {
        return Err(L"usage: command HWND ID");
    }
    const HWND control = GetDlgItem(window, static_cast<int>(id));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
    return Ok();
}

// A command of the window's system menu, as the menu sends it.
Answer SysCommand(const Fields& f) {
    HWND window = nullptr;
    long long id = 0;
    if (f.size() != 3 || !ParseWindow(f[1], window) || !ParseNumber(f[2], id)) {
        return Err(L"usage: syscommand HWND ID");
    }
    PostMessageW(window, WM_SYSCOMMAND, static_cast<WPARAM>(id), 0);
    return Ok();
}

Answer Key(const Fields& f) {
    HWND dialog = nullptr;
    if (f.size() != 3 || !ParseWindow(f[1], dialog)) {
        return Err(L"usage: key HWND enter|escape|tab|space");
    }
    UINT key = 0;
    if (f[2] == L"enter") {
        key = VK_RETURN;
    } else if (f[2] == L"escape") {
        key = VK_ESCAPE;
    } else if (f[2] == L"tab") {
        key = VK_TAB;
    } else if (f[2] == L"space") {
        key = VK_SPACE;
    } else {
        return Err(L"unknown-key");
    }
    // The key goes where the keyboard would deliver it, the focus control,
    // so the dialog manager sees it as typed; without a focus inside the
    // dialog, to the dialog itself.
    HWND target = dialog;
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) &&
        info.hwndFocus != nullptr && (info.hwndFocus == dialog || IsChild(dialog, info.hwndFocus))) {
        target = info.hwndFocus;
    }
    const UINT scan = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    const LPARAM up = down | (1LL << 30) | (1LL << 31);
    PostMessageW(target, WM_KEYDOWN, key, down);
    PostMessageW(target, WM_KEYUP, key, up);
    return Ok();
}

Answer SysClose(const Fields& f) {
    HWND window = nullptr;
    if (f.size() != 2 || !ParseWindow(f[1], window)) {
        return Err(L"no-such-window");
    }
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    return Ok();
}

// --- icon colour -----------------------------------------------------------

const wchar_t* ColourName(double r, double g, double b) {
    const double high = std::max({r, g, b});
    const double low = std::min({r, g, b});
    if (high < 1e-9 || (high - low) / high < 0.25) {
        return L"grey";
    }
    double hue = 0;
    const double span = high - low;
    if (high == r) {
        hue = 60 * ((g - b) / span);
    } else if (high == g) {
        hue = 60 * ((b - r) / span + 2);
    } else {
        hue = 60 * ((r - g) / span + 4);
    }
    if (hue < 0) {
        hue += 360;
    }
    if (hue < 20 || hue >= 335) {
        return L"red";
    }
    if (hue < 42) {
        return L"orange";
    }
    if (hue < 75) {
        return L"yellow";
    }
    if (hue < 165) {
        return L"green";
    }
    if (hue < 200) {
        return L"cyan";
    }
    if (hue < 265) {
        return L"blue";
    }
    return L"magenta";
}

// Dominant colour of a set of pixels (0x00RRGGBB with a weight each): the hue
// family holding most of the clearly coloured weight, or grey when coloured
// pixels are few; with the weighted average colour.
Answer DominantColour(const std::vector<uint32_t>& pixels, const std::vector<double>& weights) {
    std::map<std::wstring, double> family;
    double total = 0, sumR = 0, sumG = 0, sumB = 0;
    for (size_t i = 0; i < pixels.size(); ++i) {
        const double w = weights[i];
        if (w <= 0.1) {
            continue;
        }
        const uint32_t p = pixels[i];
        const double r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
        total += w;
        sumR += r * w;
        sumG += g * w;
        sumB += b * w;
        const double high = std::max({r, g, b});
        const double low = std::min({r, g, b});
        if (high >= 60 && (high - low) / high >= 0.35) {
            family[ColourName(r, g, b)] += w;
        }
    }
    if (total <= 0) {
        return Ok().Add(L"none").Add(0).Add(0).Add(0);
    }
    std::wstring dominant = L"grey";
    double best = 0;
    for (const auto& [name, w] : family) {
        if (w > best) {
            best = w;
            dominant = name;
        }
    }
    if (best < 0.15 * total) {
        dominant = L"grey";
    }
    return Ok()
        .Add(dominant)
        .Add(static_cast<unsigned long long>(sumR / total + 0.5))
        .Add(static_cast<unsigned long long>(sumG / total + 0.5))
        .Add(static_cast<unsigned long long>(sumB / total + 0.5));
}

BITMAPINFO TopDown32(int width, int height) {
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    return format;
}

// Reads the icon's own pixels. Icon handles are shared USER objects on
// Windows, so this works for another process's icon there; Wine keeps an
// icon's pixels in the owning process and refuses (error 1402).
bool IconPixels(HICON icon, std::vector<uint32_t>& pixels, std::vector<double>& weights) {
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) {
        return false;
    }
    BITMAP shape{};
    GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof shape, &shape);
    const int width = shape.bmWidth;
    const int height = info.hbmColor != nullptr ? shape.bmHeight : shape.bmHeight / 2;
    pixels.assign(static_cast<size_t>(width) * height, 0);
    std::vector<uint32_t> mask(pixels.size(), 0);
    BITMAPINFO format = TopDown32(width, height);
    BITMAPINFO maskFormat = format;
    const HDC screen = GetDC(nullptr);
    const int rows = info.hbmColor != nullptr
                         ? GetDIBits(screen, info.hbmColor, 0, height, pixels.data(), &format,
                                     DIB_RGB_COLORS)
                         : 0;
    const int maskRows =
        GetDIBits(screen, info.hbmMask, 0, height, mask.data(), &maskFormat, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (info.hbmColor != nullptr) {
        DeleteObject(info.hbmColor);
    }
    DeleteObject(info.hbmMask);
    if (rows != height) {
        // A monochrome icon carries no colour worth naming.
        pixels.assign(pixels.size(), 0x808080);
    }
    bool hasAlpha = false;
    for (const uint32_t p : pixels) {
        hasAlpha = hasAlpha || (p >> 24) != 0;
    }
    weights.assign(pixels.size(), 1.0);
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (hasAlpha) {
            weights[i] = (pixels[i] >> 24) / 255.0;
        } else if (maskRows == height && (mask[i] & 0xFFFFFF) != 0) {
            weights[i] = 0;  // a set mask bit is a transparent pixel
        }
        pixels[i] &= 0xFFFFFF;
    }
    return true;
}

// What the screen shows inside the control, less its background (the colour
// of its top-left pixel). Needs the control painted and not covered.
bool ScreenPixels(HWND control, std::vector<uint32_t>& pixels, std::vector<double>& weights) {
    RECT r{};
    if (!GetWindowRect(control, &r) || r.right <= r.left || r.bottom <= r.top) {
        return false;
    }
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    BITMAPINFO format = TopDown32(width, height);
    void* bits = nullptr;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP canvas = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = SelectObject(memory, canvas);
    const BOOL copied = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    if (copied) {
        const auto* source = static_cast<const uint32_t*>(bits);
        pixels.assign(source, source + static_cast<size_t>(width) * height);
    }
    SelectObject(memory, old);
    DeleteObject(canvas);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!copied) {
        return false;
    }
    const uint32_t background = pixels[0] & 0xFFFFFF;
    weights.assign(pixels.size(), 1.0);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] &= 0xFFFFFF;
        if (pixels[i] == background) {
            weights[i] = 0;
        }
    }
    return true;
}

Answer Icon(const Fields& f) {
    HWND target = nullptr;
    std::wstring why;
    if (!ParseTarget(f, 1, target, why)) {
        return Err(why);
    }
    DWORD_PTR icon = 0;
    const bool isButton = _wcsicmp(ClassOf(target).c_str(), L"Button") == 0;
    const BOOL answered =
        isButton ? SendMessageTimeoutW(target, BM_GETIMAGE, IMAGE_ICON, 0, SMTO_NORMAL,
                                       kSendTimeoutMs, &icon)
                 : SendMessageTimeoutW(target, STM_GETICON, 0, 0, SMTO_NORMAL, kSendTimeoutMs,
                                       &icon);
    if (!answered) {
        return Err(L"busy");
    }
    if (icon == 0) {
        return Ok().Add(L"none").Add(0).Add(0).Add(0).Add(L"none");
    }
    std::vector<uint32_t> pixels;
    std::vector<double> weights;
    if (IconPixels(reinterpret_cast<HICON>(icon), pixels, weights)) {
        return DominantColour(pixels, weights).Add(L"icon");
    }
    if (ScreenPixels(target, pixels, weights)) {
        return DominantColour(pixels, weights).Add(L"screen");
    }
    return Err(Win32Error(L"GetIconInfo"));
}

Answer ScreenColour(const Fields& f) {
    HWND target = nullptr;
    std::wstring why;
    if (!ParseTarget(f, 1, target, why)) {
        return Err(why);
    }
    std::vector<uint32_t> pixels;
    std::vector<double> weights;
    if (!ScreenPixels(target, pixels, weights)) {
        return Err(Win32Error(L"BitBlt"));
    }
    return DominantColour(pixels, weights);
}

// --- registry --------------------------------------------------------------

bool ParseKey(const std::wstring& path, HKEY& root, std::wstring& subkey) {
    const size_t slash = path.find(L'\\');
    const std::wstring hive = path.substr(0, slash);
    subkey = slash == std::wstring::npos ? L"" : path.substr(slash + 1);
    if (hive == L"HKLM" || hive == L"HKEY_LOCAL_MACHINE") {
        root = HKEY_LOCAL_MACHINE;
    } else if (hive == L"HKCU" || hive == L"HKEY_CURRENT_USER") {
        root = HKEY_CURRENT_USER;
    } else {
        return false;
    }
    return true;
}

const std::pair<DWORD, const wchar_t*> kTypeNames[] = {
    {REG_NONE, L"REG_NONE"},       {REG_SZ, L"REG_SZ"},          {REG_EXPAND_SZ, L"REG_EXPAND_SZ"},
    {REG_BINARY, L"REG_BINARY"},   {REG_DWORD, L"REG_DWORD"},    {REG_MULTI_SZ, L"REG_MULTI_SZ"},
    {REG_QWORD, L"REG_QWORD"},
};

std::wstring TypeName(DWORD type) {
    for (const auto& [value, name] : kTypeNames) {
        if (value == type) {
            return name;
        }
    }
    return std::to_wstring(type);
}

bool ParseType(const std::wstring& text, DWORD& type) {
    for (const auto& [value, name] : kTypeNames) {
        if (text == name) {
            type = value;
            return true;
        }
    }
    long long number = 0;
    if (!ParseNumber(text, number)) {
        return false;
    }
    type = static_cast<DWORD>(number);
    return true;
}

std::wstring DataText(DWORD type, const std::vector<BYTE>& data) {
    if ((type == REG_SZ || type == REG_EXPAND_SZ) && data.size() % 2 == 0) {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
        while (!text.empty() && text.back() == L'\0') {
            text.pop_back();
        }
        return text;
    }
    if (type == REG_DWORD && data.size() == 4) {
        DWORD value = 0;
        memcpy(&value, data.data(), 4);
        return std::to_wstring(value);
    }
    if (type == REG_QWORD && data.size() == 8) {
        unsigned long long value = 0;
        memcpy(&value, data.data(), 8);
        return std::to_wstring(value);
    }
    std::wstring hex;
    for (const BYTE b : data) {
        wchar_t pair[3];
        swprintf(pair, 3, L"%02x", b);
        hex += pair;
    }
    return hex;
}

Answer RegSet(const Fields& f, DWORD type, const std::vector<BYTE>& data) {
    HKEY root = nullptr;
    std::wstring subkey;
    if (!ParseKey(f[1], root, subkey)) {
        return Err(L"bad-key");
    }
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0,
                                     KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        return Err(Win32Error(L"RegCreateKeyEx", static_cast<DWORD>(status)));
    }
    status = RegSetValueExW(key, f[2].c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        return Err(Win32Error(L"RegSetValueEx", static_cast<DWORD>(status)));
    }
    return Ok();
}

Answer RegSetSz(const Fields& f) {
    if (f.size() != 4) {
        return Err(L"usage: reg-set-sz KEY NAME TEXT");
    }
    const BYTE* begin = reinterpret_cast<const BYTE*>(f[3].c_str());
    return RegSet(f, REG_SZ, std::vector<BYTE>(begin, begin + (f[3].size() + 1) * sizeof(wchar_t)));
}

Answer RegSetDword(const Fields& f) {
    long long number = 0;
    if (f.size() != 4 || !ParseNumber(f[3], number)) {
        return Err(L"usage: reg-set-dword KEY NAME NUMBER");
    }
    const DWORD value = static_cast<DWORD>(number);
    const BYTE* begin = reinterpret_cast<const BYTE*>(&value);
    return RegSet(f, REG_DWORD, std::vector<BYTE>(begin, begin + sizeof value));
}

Answer RegSetRaw(const Fields& f) {
    DWORD type = 0;
    if (f.size() != 5 || !ParseType(f[3], type) || f[4].size() % 2 != 0) {
        return Err(L"usage: reg-set-raw KEY NAME TYPE HEX");
    }
    std::vector<BYTE> data;
    for (size_t i = 0; i < f[4].size(); i += 2) {
        data.push_back(static_cast<BYTE>(wcstoul(f[4].substr(i, 2).c_str(), nullptr, 16)));
    }
    return RegSet(f, type, data);
}

bool ReadValue(HKEY key, const std::wstring& name, DWORD& type, std::vector<BYTE>& data) {
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return false;
    }
    data.resize(size);
    return RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size) ==
               ERROR_SUCCESS &&
           (data.resize(size), true);
}

HKEY OpenKey(const std::wstring& path, REGSAM access, LSTATUS& status) {
    HKEY root = nullptr;
    std::wstring subkey;
    if (!ParseKey(path, root, subkey)) {
        status = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    HKEY key = nullptr;
    status = RegOpenKeyExW(root, subkey.c_str(), 0, access | KEY_WOW64_64KEY, &key);
    return status == ERROR_SUCCESS ? key : nullptr;
}

Answer RegQuery(const Fields& f) {
    if (f.size() != 3) {
        return Err(L"usage: reg-query KEY NAME");
    }
    LSTATUS status = 0;
    const HKEY key = OpenKey(f[1], KEY_QUERY_VALUE, status);
    if (key == nullptr) {
        return Err(L"missing");
    }
    DWORD type = 0;
    std::vector<BYTE> data;
    const bool found = ReadValue(key, f[2], type, data);
    RegCloseKey(key);
    if (!found) {
        return Err(L"missing");
    }
    return Ok().Add(TypeName(type)).Add(DataText(type, data));
}

Answer RegValues(const Fields& f) {
    if (f.size() != 2) {
        return Err(L"usage: reg-values KEY");
    }
    LSTATUS status = 0;
    const HKEY key = OpenKey(f[1], KEY_QUERY_VALUE, status);
    if (key == nullptr) {
        return Err(L"missing");
    }
    Answer answer = Ok();
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
            break;
        }
        std::vector<BYTE> data;
        ReadValue(key, name, type, data);
        answer.Add(name).Add(TypeName(type)).Add(DataText(type, data));
    }
    RegCloseKey(key);
    return answer;
}

Answer RegKeyExists(const Fields& f) {
    if (f.size() != 2) {
        return Err(L"usage: reg-key-exists KEY");
    }
    LSTATUS status = 0;
    const HKEY key = OpenKey(f[1], KEY_QUERY_VALUE, status);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return Ok().Add(key != nullptr ? 1 : 0);
}

Answer RegDeleteValue(const Fields& f) {
    if (f.size() != 3) {
        return Err(L"usage: reg-delete-value KEY NAME");
    }
    LSTATUS status = 0;
    const HKEY key = OpenKey(f[1], KEY_SET_VALUE, status);
    if (key == nullptr) {
        return Err(L"missing");
    }
    status = RegDeleteValueW(key, f[2].c_str());
    RegCloseKey(key);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        return Err(Win32Error(L"RegDeleteValue", static_cast<DWORD>(status)));
    }
    return Ok();
}

Answer RegDeleteTreeCommand(const Fields& f) {
    HKEY root = nullptr;
    std::wstring subkey;
    if (f.size() != 2 || !ParseKey(f[1], root, subkey) || subkey.empty()) {
        return Err(L"usage: reg-delete-tree KEY");
    }
    const size_t slash = subkey.find_last_of(L'\\');
    const std::wstring parentPath = slash == std::wstring::npos ? L"" : subkey.substr(0, slash);
    const std::wstring leaf = slash == std::wstring::npos ? subkey : subkey.substr(slash + 1);
    HKEY parent = nullptr;
    LSTATUS status = RegOpenKeyExW(root, parentPath.c_str(), 0,
                                   KEY_ALL_ACCESS | KEY_WOW64_64KEY, &parent);
    if (status == ERROR_FILE_NOT_FOUND) {
        return Ok();
    }
    if (status != ERROR_SUCCESS) {
        return Err(Win32Error(L"RegOpenKeyEx", static_cast<DWORD>(status)));
    }
    status = RegDeleteTreeW(parent, leaf.c_str());
    if (status == ERROR_SUCCESS) {
        status = RegDeleteKeyExW(parent, leaf.c_str(), KEY_WOW64_64KEY, 0);
    }
    RegCloseKey(parent);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        return Err(Win32Error(L"RegDeleteTree", static_cast<DWORD>(status)));
    }
    return Ok();
}

// --- dispatch --------------------------------------------------------------

Answer Dispatch(const Fields& f, bool& quit) {
    const std::wstring& verb = f[0];
    if (verb == L"ping") return Ok().Add(L"pong");
    if (verb == L"quit") {
        quit = true;
        return Ok().Add(L"bye");
    }
    if (verb == L"launch") return Launch(f, false);
    if (verb == L"launch-restricted") return Launch(f, true);
    if (verb == L"admin") return Admin(f);
    if (verb == L"wait-exit") return WaitExit(f);
    if (verb == L"exit-code") return ExitCode(f);
    if (verb == L"kill") return Kill(f);
    if (verb == L"cpu") return Cpu(f);
    if (verb == L"pipe-exists") return PipeExists(f);
    if (verb == L"process") return ProcessCounts(f);
    if (verb == L"windows") return Windows(f);
    if (verb == L"find-window") return FindWindowOf(f);
    if (verb == L"boxes") return Boxes(f);
    if (verb == L"box") return Box(f);
    if (verb == L"controls") return Controls(f);
    if (verb == L"text") return Text(f, true);
    if (verb == L"wtext") return Text(f, false);
    if (verb == L"enabled") return Flag(f, IsWindowEnabled);
    if (verb == L"visible") return Flag(f, IsWindowVisible);
    if (verb == L"checked") return Checked(f);
    if (verb == L"combo") return Combo(f);
    if (verb == L"icon") return Icon(f);
    if (verb == L"screen-colour") return ScreenColour(f);
    if (verb == L"rect") return Rect(f);
    if (verb == L"focus") return Focus(f);
    if (verb == L"set-text") return SetText(f);
    if (verb == L"combo-select") return ComboSelect(f);
    if (verb == L"click") return Click(f);
    if (verb == L"command") return Command(f);
    if (verb == L"syscommand") return SysCommand(f);
    if (verb == L"key") return Key(f);
    if (verb == L"sys-close") return SysClose(f);
    if (verb == L"reg-set-sz") return RegSetSz(f);
    if (verb == L"reg-set-dword") return RegSetDword(f);
    if (verb == L"reg-set-raw") return RegSetRaw(f);
    if (verb == L"reg-query") return RegQuery(f);
    if (verb == L"reg-values") return RegValues(f);
    if (verb == L"reg-key-exists") return RegKeyExists(f);
    if (verb == L"reg-delete-value") return RegDeleteValue(f);
    if (verb == L"reg-delete-tree") return RegDeleteTreeCommand(f);
    return Err(L"unknown-command");
}

}  // namespace

int wmain() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[4096];
    bool quit = false;
    while (!quit) {
        size_t end = pending.find('\n');
        if (end == std::string::npos) {
            DWORD got = 0;
            if (!ReadFile(input, buffer, sizeof buffer, &got, nullptr) || got == 0) {
                break;
            }
            pending.append(buffer, got);
            continue;
        }
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const Fields fields = Split(FromUtf8(line));
        if (fields.empty()) {
            Reply(L"err empty-command");
            continue;
        }
        const Answer answer = Dispatch(fields, quit);
        Reply((answer.ok ? L"ok" : L"err") + answer.body);
    }
    return 0;
}

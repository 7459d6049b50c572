"""End-to-end test harness: runs the Windows build under Wine on Linux.

Everything a test needs to drive the shipped Vantrel.exe from outside:

WineSession
    A fresh Wine prefix per session, copied from a template prefix that is
    booted once (``wineboot -i``) and cached in the build directory as
    ``wine-template``. The copy hard-links the large read-only system folders
    and copies the rest, so the registry starts out fresh every time (about
    0.05 s instead of about 10 s for a boot). A private Xvfb display, and
    ``wineserver -k`` plus removal of everything on close, also when the test
    failed. ``session.com_port()``, ``session.vm()``, ``session.driver()`` and
    ``session.program()`` make the parts below and close them with it.

ComPort
    A pty pair made by socat; its host end is the COM port (``COM3`` by
    default) inside the prefix, its device end is played by the test: write,
    read_exactly, read_for, unplug and plug (the same name comes back, as an
    adapter plugged in again).

StubVM
    vmstub.exe under Wine: the server end of ``\\\\.\\pipe\\NAME`` that a
    Hyper-V virtual machine would offer, bridged to a TCP socket held here:
    send, recv_exactly, recv_for, pause, resume, disconnect, close_pipe,
    open_pipe, stats, wait_line, stop (quit) and kill (the pipe disappears
    as when the VM shuts down).

Driver
    uidriver.exe under Wine, one command per call (see the top of
    tests/tools/uidriver.cpp for the protocol): launch programs (normally or
    under a restricted token), find windows, read and set control texts,
    combo boxes, check boxes, icon colours, press buttons and keys, message
    boxes, registry reads and writes, exit codes.

Program / Vantrel
    A launched program with waits: its status window, status line, Messages
    pane, message boxes and dialogs, exit code, CPU time.

E2ETestCase
    unittest base class: a session per test, artifacts/<test id>/ for
    screenshots (``final.png`` always, on success and on failure) and logs.

Found out under Wine 8 and built in here:
- Wine refuses GetIconInfo on another process's icon (error 1402), so the
  driver's icon colour comes from the screen inside the control, which must
  be painted and uncovered (the reply says "screen"; on Windows "icon").
- GetProcessTimes reports nothing for other processes; Program.cpu_seconds
  reads /proc of the Linux process instead.
- Without a window manager Wine waits up to 2 s on every hidden managed
  window; the template sets HKCU\Software\Wine\X11 Driver\Managed=N.
- A COM port whose dosdevices link dangles, or one listed under
  HKLM\Software\Wine\Ports without a device, opens as if present (only
  its line calls fail); so a ComPort's link exists only while it is plugged.
- While the program's user-interface thread sleeps (the splash, a pipe wait)
  WM_GETTEXT cannot be answered: Driver.text gives None, the waits retry,
  and statics can be read from the system's copy (Driver.system_text).

All waits poll a condition until a deadline (DEFAULT_TIMEOUT, 30 s unless
VANTREL_E2E_TIMEOUT says otherwise) and fail with what was awaited and what was
seen last. Environment: VANTREL_BUILD_DIR (default build/win) holds
Vantrel.exe, vmstub.exe, uidriver.exe and uifixture.exe; VANTREL_WINE and
VANTREL_WINESERVER override /usr/lib/wine/wine64 and /usr/lib/wine/wineserver;
VANTREL_KEEP_SESSIONS=1 keeps the session folders for inspection.
"""

import atexit
import fcntl
import glob
import json
import os
import queue
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import termios
import threading
import time
import tty
import unittest
import uuid
import zlib
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("VANTREL_BUILD_DIR", REPO / "build" / "win"))
ARTIFACTS = REPO / "artifacts"
WINE = os.environ.get("VANTREL_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("VANTREL_WINESERVER", "/usr/lib/wine/wineserver")
DEFAULT_TIMEOUT = float(os.environ.get("VANTREL_E2E_TIMEOUT", "30"))
SPLASH_SECONDS = 5

TEMPLATE_VERSION = "5"

START_TIMEOUT = DEFAULT_TIMEOUT + SPLASH_SECONDS

# --- what the tests know of Vantrel: its store, windows, ids and texts --------

VENDOR_KEY = r"HKLM\Software\Orbenwick"
VANTREL_KEY = VENDOR_KEY + r"\Vantrel"
# What the store holds after an administrator's first start: value, type, data.
DEFAULT_STORE = {
    "Serial port": ("REG_SZ", "COM3"),
    "Pipe name": ("REG_SZ", "Vantrel"),
    "Baud rate": ("REG_DWORD", 9600),
    "Data bits": ("REG_DWORD", 8),
    "Stop bits": ("REG_DWORD", 0),
    "Parity": ("REG_DWORD", 0),
    "Flow control": ("REG_DWORD", 0),
    "Use CTS for output": ("REG_DWORD", 0),
    "Use DSR for output": ("REG_DWORD", 1),
    "Use DSR for input": ("REG_DWORD", 1),
    "DTR control mode": ("REG_DWORD", 1),
    "RTS control mode": ("REG_DWORD", 0),
    "Discard NULL": ("REG_DWORD", 0),
}


def store_with(base=None, **changes):
    """A copy of a store (DEFAULT_STORE unless base is given) with some data
    changed, each value keeping its type: store_with(**{"Baud rate": 4800})."""
    base = base or DEFAULT_STORE
    unknown = set(changes) - set(base)
    if unknown:
        raise HarnessError(f"not values of the store: {sorted(unknown)}")
    return {name: (kind, changes.get(name, data)) for name, (kind, data) in base.items()}


# A pty has no modem lines: every fixed flow-control mode holds output until
# DSR comes on, so the relay's store asks for custom flow control with every
# handshake off and DTR and RTS simply raised, at the fastest rate offered.
PTY_STORE = store_with(**{"Baud rate": 256000, "Flow control": 3, "Use DSR for output": 0,
                          "Use DSR for input": 0, "RTS control mode": 1})


def bridge_key(name):
    """The store of a named bridge (the default one: VANTREL_KEY)."""
    return VANTREL_KEY + "\\Bridges\\" + name if name else VANTREL_KEY


def write_store(driver, store, key=VANTREL_KEY):
    """Writes a whole store shaped like DEFAULT_STORE (to a bridge's key)."""
    for name, (value_type, value) in store.items():
        if value_type == "REG_SZ":
            driver.reg_set_sz(key, name, value)
        else:
            driver.reg_set_dword(key, name, value)


# The status window (dialog 129).
MAIN_CAPTION = "Vantrel"
EXIT, RESET, ABOUT, CHANGE_SETTINGS, STATUS_LINE, MESSAGES = 2, 1018, 1041, 1025, 1026, 1045
SERIAL_PORT_FIELD, PIPE_NAME_FIELD = 1000, 1011
BAUD_FIELD, PARITY_FIELD, DATA_BITS_FIELD, STOP_BITS_FIELD, FLOW_FIELD = 1014, 1015, 1016, 1017, 1019
LINE_FIELDS = (SERIAL_PORT_FIELD, PIPE_NAME_FIELD, BAUD_FIELD, PARITY_FIELD, DATA_BITS_FIELD,
               STOP_BITS_FIELD, FLOW_FIELD)
DEFAULT_LINE = ["COM3", "Vantrel", "9600", "NONE", "8", "1", "NONE"]
VIRTUAL_RECEIVED, VIRTUAL_SENT, SERIAL_RECEIVED, SERIAL_SENT = 1007, 1008, 1012, 1020
COUNTERS = (VIRTUAL_RECEIVED, VIRTUAL_SENT, SERIAL_RECEIVED, SERIAL_SENT)
RX_LAMP, TX_LAMP, DCD_LAMP, DSR_LAMP = 1002, 1003, 1023, 1024
CONNECTED, LOOKING_FOR_PIPE = "Connected", "Looking for pipe server"
WAITING_FOR_CONNECTION, SERIAL_LOST = "Waiting for connection...", "Serial port lost, reopening it"
# A Messages entry's prefix: a short date, one space, a time, three spaces
# (the user's locale decides the separators and whether there is an AM/PM mark).
LOG_PREFIX = (r"\d{1,4}[./-]\d{1,2}[./-]\d{1,4} \d{1,2}[:.]\d{2}(?:[:.]\d{2})?"
              r"(?: ?[AaPp]\.?[Mm]\.?)?   ")
STARTING_UP = "Vantrel is starting up\r\n"

# The service and the status windows that show it.
SERVICE_PIPE = "Orbenwick.Vantrel.Service"
VIEWER_CAPTION = "Vantrel (service)"
POSING = "Another program is posing as the Vantrel service"

# The connection failure dialog.
FAILURE_DIALOG = "Configuration mismatch"
FAILURE_MESSAGE, RETRY, CHANGE_CONFIGURATION, FAILURE_EXIT = 1039, 1, 2, 1040
SERIAL_FAILURE = (
    "Couldn't open serial port {}.  Please make sure that the serial port:\n"
    "\tis available (in this computer's hardware), and\n"
    "\tis not being used by another program.\n"
    "You can:\n"
    "\t- press 'Retry' to try again using the same serial port, or\n"
    "\t- press 'Change configuration' to change the serial port and try again.\n\n")
PIPE_FAILURE = (
    "Couldn't connect to a virtual machine with pipe name '{}'.\n"
    "Please make sure that the virtual machine is running (not saved or turned off), that the "
    "pipe is not already in use, and that there is only one virtual machine that uses this pipe "
    "name.\n"
    "You can:\n"
    "\t- press 'Retry' to try again using the same pipe name, or\n"
    "\t- press 'Change configuration' to change the pipe name and try again.\n\n")

# The settings dialog.
SETTINGS_DIALOG = "Vantrel settings"
SAVE_CHANGES, CANCEL = 1, 2
SET_BAUD, SET_FLOW, SET_SERIAL_PORT, SET_PIPE_NAME, SET_DATA_BITS = 1029, 1030, 1031, 1032, 1033
SET_PARITY, SET_STOP_BITS, SET_DTR, SET_RTS, SET_CTS_OUT = 1034, 1035, 1036, 1037, 1038
SET_DSR_OUT, SET_DSR_IN, SET_DISCARD_NULL = 1039, 1040, 1044
SET_VIRTUAL_MACHINE = 1060
# Its "Virtual machine..." dialog; "Use its pipe name" is 1, Cancel 2.
VM_DIALOG = "Virtual machines"
VM_STATUS, VM_PORTS, USE_ITS_PIPE, VM_ATTACH = 1061, 1062, 1, 1063

# Picking a port and following its adapter (the "Device" value).
SET_CHOOSE_PORT, SET_FOLLOW_ADAPTER = 1070, 1071
CHOOSE_PORT_DIALOG, CHOOSE_LIST = "Choose a COM port", 1072
DEVICE_VALUE = "Device"


def register_com_device(driver, instance_id, port, friendly_name):
    """A device of the Ports class where SetupAPI looks for it: Wine's
    SetupAPI lists what the Enum key of HKLM\\System\\CurrentControlSet holds."""
    key = "HKLM\\System\\CurrentControlSet\\Enum\\" + instance_id
    driver.reg_set_sz(key, "ClassGUID", "{4d36e978-e325-11ce-bfc1-08002be10318}")
    driver.reg_set_sz(key, "FriendlyName", friendly_name)
    driver.reg_set_sz(key + "\\Device Parameters", "PortName", port)


# Message boxes and the About box.
OK = 1
ABOUT_BOX = "About Vantrel"
ADMIN_REQUIRED_CAPTION = "Administrative privileges required"
ADMIN_REQUIRED = (
    "You must be an administrator to change Vantrel settings.  Please exit Vantrel, then re-run "
    "as an administrator to make changes.")
DEFAULT_CONFIG_CAPTION = "Default config"
DEFAULT_CONFIG = (
    "Vantrel has loaded the default confinguration (COM3, 9600, N, 8, 1) because the user that "
    "launched Vantrel does not have administrative privileges.  To customize the settings please "
    "restart Vantrel as administrator (right-click and select Run as administrator).")
FATAL_ERROR, SETTINGS_SAVED_CAPTION, SAVE_CHANGES_CAPTION = \
    "Fatal error", "Settings saved", "Save changes?"

# The stand-in for Windows PowerShell with Hyper-V's module
# (tests/tools/hyperv_standin.cpp), where Vantrel's reader looks for it, and
# the folder of what it answers and what it was asked.
POWERSHELL = "drive_c/windows/system32/WindowsPowerShell/v1.0/powershell.exe"
HYPERV_FOLDER = "drive_c/hyperv-standin"
POWERSHELL_ARGS = ["-NoLogo", "-NoProfile", "-NonInteractive", "-EncodedCommand"]
# The entry for a missing pipe that no VM's COM port is set to.
NO_VM_HAS_PIPE = "No VM's COM port is set to \\\\.\\pipe\\{}\r\n"


def hyperv_vm(name, state="Off", com1="", com2="", generation=2):
    """A VM as the reader's script prints it (Get-VM's Name, Id, State and
    Generation; Get-VMComPort's Name and Path)."""
    return {"Name": name, "Id": str(uuid.uuid5(uuid.NAMESPACE_OID, name)), "State": state,
            "Generation": generation,
            "ComPorts": [{"Name": "COM 1", "Path": com1}, {"Name": "COM 2", "Path": com2}]}


# Wine's message box shows its icon in a static control with this id (stc1).
BOX_ICON = 1088


def box_icon(driver, box):
    """Colour of a message box's icon: none, red (error), blue (information),
    yellow or orange (warning)."""
    return driver.icon(box.hwnd, BOX_ICON)[0]


def start_connected(session, store=None, port=None, restricted=False):
    """Vantrel relaying between COM3 and the stand-in VM of the store's pipe
    name: (port, vm, vantrel). store, when given, is written first (without
    one an administrator's first start writes the defaults); port, when
    given, stands in for the harness's socat pair."""
    if store is not None:
        write_store(session.driver(), store)
    port = port or session.com_port("COM3")
    vm = session.vm((store or DEFAULT_STORE)["Pipe name"][1])
    vantrel = session.vantrel(restricted=restricted)
    vantrel.wait_status_line(CONNECTED, timeout=START_TIMEOUT)
    vm.wait_client()
    return port, vm, vantrel


# A trace file (relay/trace_format.h): a header line per chunk, then its
# bytes sixteen a line as hex; events are lines of their own.
_TRACE_STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  "
_TRACE_CHUNK = re.compile(_TRACE_STAMP + r"(VM -> device|device -> VM)  (\d+) bytes?$")
_TRACE_EVENT = re.compile(_TRACE_STAMP + r"-- (.*)$")
_TRACE_BYTES = re.compile(r"  ((?:[0-9a-f]{2} ){1,8}(?: (?:[0-9a-f]{2} ){1,8})?)")


def parse_trace(text):
    """({"VM -> device": bytes, "device -> VM": bytes}, [event texts]) of a
    trace, every chunk's bytes checked against the count its header gives."""
    ways = {"VM -> device": bytearray(), "device -> VM": bytearray()}
    events = []
    lines = text.split("\r\n")
    at = 0
    while at < len(lines) and lines[at]:
        chunk = _TRACE_CHUNK.fullmatch(lines[at])
        event = _TRACE_EVENT.fullmatch(lines[at])
        at += 1
        if event:
            events.append(event.group(1))
            continue
        if not chunk:
            raise AssertionError(f"trace line {at}: {lines[at - 1]!r}")
        count, data = int(chunk.group(2)), bytearray()
        while len(data) < count:
            hex_part = _TRACE_BYTES.match(lines[at])
            if not hex_part:
                raise AssertionError(f"trace line {at + 1}: {lines[at]!r}")
            data += bytes.fromhex(hex_part.group(1))
            at += 1
        if len(data) != count:
            raise AssertionError(f"trace block before line {at + 1} holds {len(data)} bytes")
        ways[chunk.group(1)] += data
    return {way: bytes(data) for way, data in ways.items()}, events


class HarnessError(AssertionError):
    """A failure of the harness or of an awaited condition; reported as a test failure."""


class DriverError(HarnessError):
    def __init__(self, command, reason):
        super().__init__(f"uidriver: {' '.join(command)} -> err {reason}")
        self.command = command
        self.reason = reason


# --- waiting ----------------------------------------------------------------


def wait_for(what, probe, timeout=None, interval=0.05):
    """Polls probe() until it returns (True, value); returns value.

    probe returns (done, seen): seen is what the failure message shows when
    the deadline passes without done.
    """
    timeout = DEFAULT_TIMEOUT if timeout is None else timeout
    deadline = time.monotonic() + timeout
    while True:
        done, seen = probe()
        if done:
            return seen
        if time.monotonic() >= deadline:
            raise HarnessError(f"timed out after {timeout:g} s waiting for {what}; last seen: {seen!r}")
        time.sleep(interval)


# --- escaping of uidriver fields --------------------------------------------

_ESCAPES = {"\\": "\\\\", " ": "\\s", "\t": "\\t", "\n": "\\n", "\r": "\\r"}
_UNESCAPES = {"s": " ", "t": "\t", "n": "\n", "r": "\r", "\\": "\\"}


def escape_field(text):
    text = str(text)
    if text == "":
        return "\\e"
    return "".join(_ESCAPES.get(c, c) for c in text)


def unescape_field(field):
    if field == "\\e":
        return ""
    out = []
    i = 0
    while i < len(field):
        c = field[i]
        if c == "\\" and i + 1 < len(field):
            i += 1
            out.append(_UNESCAPES.get(field[i], field[i]))
        else:
            out.append(c)
        i += 1
    return "".join(out)


def log_safe(name, limit=60):
    """A pipe name made fit for a log file's name: long names (up to 256
    characters) and characters such as '/' would not do as they are."""
    safe = re.sub(r"[^A-Za-z0-9._-]", "_", name)
    if len(safe) <= limit:
        return safe
    return f"{safe[:limit - 9]}-{zlib.crc32(name.encode('utf-8')):08x}"


def windows_path(path):
    """The Wine (Z: drive) name of a Unix path."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


# --- processes ----------------------------------------------------------------


class LineReader:
    """Collects a process's output lines on a thread, for waiting with deadlines."""

    def __init__(self, stream, log_path=None):
        self.lines = []
        self._queue = queue.Queue()
        self._cond = threading.Condition()
        self.closed = False
        self._log = open(log_path, "a", encoding="utf-8") if log_path else None
        self._thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self._thread.start()

    def _run(self, stream):
        try:
            for raw in stream:
                line = raw.decode("utf-8", "replace").rstrip("\r\n")
                if self._log:
                    self._log.write(f"{time.strftime('%H:%M:%S')} < {line}\n")
                    self._log.flush()
                with self._cond:
                    self.lines.append(line)
                    self._cond.notify_all()
                self._queue.put(line)
        except (OSError, ValueError):
            pass
        finally:
            with self._cond:
                self.closed = True
                self._cond.notify_all()
            self._queue.put(None)
            if self._log:
                self._log.close()

    def next_line(self, timeout):
        """The next line not yet taken by next_line; None at end of output."""
        try:
            return self._queue.get(timeout=timeout)
        except queue.Empty:
            raise HarnessError(f"no reply within {timeout:g} s") from None

    def wait_line(self, pattern, start=0, timeout=None):
        """Index and text of the first line at or after index start that matches
        pattern (a regular expression matched at the line's start)."""
        timeout = DEFAULT_TIMEOUT if timeout is None else timeout
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for index in range(start, len(self.lines)):
                    if regex.match(self.lines[index]):
                        return index, self.lines[index]
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.closed:
                    state = "output ended" if self.closed else f"timed out after {timeout:g} s"
                    raise HarnessError(
                        f"{state} waiting for a line matching {pattern!r}; "
                        f"lines since: {self.lines[start:][-10:]!r}")
                self._cond.wait(remaining)


def _terminate(process, grace=3.0):
    """Ends a process: politely first when grace > 0, then by force."""
    if process.poll() is not None:
        return
    try:
        if grace > 0:
            process.terminate()
            try:
                process.wait(grace)
                return
            except subprocess.TimeoutExpired:
                pass
        process.kill()
        process.wait(10)
    except (OSError, subprocess.TimeoutExpired):
        pass


def record_process(root, name, process):
    """Notes a helper process in the session folder, so that a later run can
    end it if this one is killed before it tidies up."""
    with open(Path(root) / "pids", "a") as f:
        f.write(f"{name} {process.pid}\n")


def session_is_orphaned(root):
    """True when the process that made this session folder is gone."""
    try:
        owner = int((Path(root) / "owner").read_text())
    except (OSError, ValueError):
        return True
    try:
        os.kill(owner, 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False
    return False


def kill_recorded_processes(root):
    try:
        lines = (Path(root) / "pids").read_text().splitlines()
    except OSError:
        return
    for line in lines:
        name, _, pid = line.partition(" ")
        try:
            with open(f"/proc/{int(pid)}/cmdline", "rb") as f:
                command = f.read().split(b"\0")[0].decode(errors="replace")
            if os.path.basename(command) == name:
                os.kill(int(pid), signal.SIGKILL)
        except (OSError, ValueError):
            pass


_open_sessions = set()


@atexit.register
def _close_leftover_sessions():
    for session in list(_open_sessions):
        session.close()


def _raise_exit(signum, _frame):
    raise SystemExit(128 + signum)


def _exit_on_sigterm():
    # A runner that is stopped still tidies up: atexit runs on SystemExit.
    if threading.current_thread() is threading.main_thread() and \
            signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
        signal.signal(signal.SIGTERM, _raise_exit)


# --- template prefix ----------------------------------------------------------


def wine_version():
    try:
        return subprocess.run([WINE, "--version"], capture_output=True, text=True,
                              timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"


def base_environment(prefix, display=None):
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("WINEARCH", None)
    if display is not None:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def _template_settings():
    lines = ["Windows Registry Editor Version 5.00"]
    # Without a window manager, Wine waits up to 2 s for one on every hidden
    # managed window; unmanaged windows need no manager and draw their own
    # caption.
    lines += ["", r"[HKEY_CURRENT_USER\Software\Wine\X11 Driver]", '"Managed"="N"', ""]
    return "\r\n".join(lines)


def ensure_template(build_dir=None):
    """The booted template prefix in the build directory, made on first use."""
    build_dir = Path(build_dir or BUILD_DIR)
    template = build_dir / "wine-template"
    stamp_text = f"{wine_version()} template {TEMPLATE_VERSION}"
    stamp = template / ".vantrel-template"
    if stamp.is_file() and stamp.read_text() == stamp_text:
        return template
    build_dir.mkdir(parents=True, exist_ok=True)
    with open(build_dir / "wine-template.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if stamp.is_file() and stamp.read_text() == stamp_text:
            return template
        started = time.monotonic()
        building = build_dir / f"wine-template.new{os.getpid()}"
        shutil.rmtree(building, ignore_errors=True)
        env = base_environment(building)
        log = open(build_dir / "wine-template.log", "w")
        try:
            subprocess.run([WINE, "wineboot", "-i"], env=env, stdout=log, stderr=log,
                           timeout=600, check=True)
            settings = building / "vantrel-settings.reg"
            settings.write_text(_template_settings(), encoding="utf-16")
            subprocess.run([WINE, "reg", "import", windows_path(settings)], env=env,
                           stdout=log, stderr=log, timeout=300, check=True)
            settings.unlink()
            # The registry reaches the files only when the server ends.
            subprocess.run([WINESERVER, "-w"], env=env, timeout=300, check=True)
        except (subprocess.SubprocessError, OSError) as error:
            subprocess.run([WINESERVER, "-k"], env=env, timeout=60)
            raise HarnessError(f"could not boot the template Wine prefix: {error}; "
                               f"see {build_dir / 'wine-template.log'}") from error
        finally:
            log.close()
        (building / ".vantrel-template").write_text(stamp_text)
        shutil.rmtree(template, ignore_errors=True)
        os.rename(building, template)
        (build_dir / "wine-template.seconds").write_text(f"{time.monotonic() - started:.1f}\n")
    return template


_SHARED_FOLDERS = {"drive_c/windows/system32", "drive_c/windows/syswow64",
                   "drive_c/windows/winsxs"}


def copy_prefix(template, destination):
    """Copies a prefix: the big system folders as hard links (nothing writes
    there), everything else (registry files above all) as real copies."""

    def link_or_copy(source, target):
        try:
            os.link(source, target)
        except OSError:
            shutil.copy2(source, target)

    def copy(source_dir, target_dir, relative):
        os.makedirs(target_dir)
        for entry in os.scandir(source_dir):
            rel = relative + entry.name
            target = os.path.join(target_dir, entry.name)
            if entry.is_symlink():
                os.symlink(os.readlink(entry.path), target)
            elif entry.is_dir():
                if rel in _SHARED_FOLDERS:
                    shutil.copytree(entry.path, target, symlinks=True,
                                    copy_function=link_or_copy)
                else:
                    copy(entry.path, target, rel + "/")
            elif entry.name != ".vantrel-template":
                shutil.copy2(entry.path, target)
        if relative == "dosdevices/":
            # Ports come and go with the tests' ComPorts; the device manager
            # adds the machine's real ones again when the session starts.
            for name in os.listdir(target_dir):
                if name.startswith("com"):
                    os.unlink(os.path.join(target_dir, name))

    copy(str(template), str(destination), "")


# --- the session --------------------------------------------------------------


class WineSession:
    """A fresh prefix, an X display and everything started in them."""

    def __init__(self, build_dir=None, log_dir=None, display=None):
        """display: an X display to use instead of a private Xvfb (the demo
        shows its windows on the user's screen when there is one)."""
        self.build_dir = Path(build_dir or BUILD_DIR)
        self._own_display = display
        self.log_dir = Path(log_dir) if log_dir else None
        self.root = None
        self.prefix = None
        self.display = None
        self.env = None
        self.timings = {}
        self._xvfb = None
        self._closers = []
        self._driver = None
        self._wine_processes = []
        self._closed = False

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    def tool(self, name):
        path = self.build_dir / name
        if not path.is_file():
            raise HarnessError(f"{path} is missing: build the Windows tree first")
        return path

    def start(self):
        _exit_on_sigterm()
        started = time.monotonic()
        template = ensure_template(self.build_dir)
        self.timings["template"] = time.monotonic() - started
        sessions = self.build_dir / "e2e-sessions"
        sessions.mkdir(parents=True, exist_ok=True)
        self.root = Path(tempfile.mkdtemp(prefix="s", dir=sessions))
        (self.root / "owner").write_text(f"{os.getpid()}\n")
        if self.log_dir is None:
            self.log_dir = self.root / "logs"
        self.log_dir.mkdir(parents=True, exist_ok=True)
        _open_sessions.add(self)
        try:
            copied = time.monotonic()
            self.prefix = self.root / "prefix"
            copy_prefix(template, self.prefix)
            # Hard-linked to the template: the link is replaced, never written through.
            powershell = self.prefix / POWERSHELL
            powershell.unlink(missing_ok=True)
            shutil.copy(self.tool("hyperv_standin.exe"), powershell)
            (self.prefix / HYPERV_FOLDER).mkdir()
            self.timings["prefix_copy"] = time.monotonic() - copied
            if self._own_display:
                self.display = self._own_display
            else:
                self._start_xvfb()
            self.env = base_environment(self.prefix, self.display)
            booted = time.monotonic()
            # A server that stays up between programs, and the prefix's
            # services started once here, keep that cost out of the steps a
            # test times.
            with open(self.log_dir / "wineserver.log", "ab") as log:
                subprocess.run([WINESERVER, "-p"], env=self.env, timeout=60, stdout=log,
                               stderr=log)
            subprocess.run([WINE, "cmd", "/c", "exit"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=120)
            self.timings["wine_start"] = time.monotonic() - booted
        except BaseException:
            self.close()
            raise
        self.timings["session_start"] = time.monotonic() - started
        return self

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        log = open(self.log_dir / "xvfb.log", "w")
        try:
            self._xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_end,), stdout=log, stderr=log, start_new_session=True)
        finally:
            os.close(write_end)
            log.close()
        record_process(self.root, "Xvfb", self._xvfb)
        number = b""
        deadline = time.monotonic() + 30
        try:
            while not number.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                ready, _, _ = select.select([read_end], [], [], max(remaining, 0))
                if not ready:
                    raise HarnessError("Xvfb did not report its display within 30 s")
                chunk = os.read(read_end, 64)
                if not chunk:
                    raise HarnessError(f"Xvfb ended; see {self.log_dir / 'xvfb.log'}")
                number += chunk
        finally:
            os.close(read_end)
        self.display = ":" + number.decode().strip()

    def add_closer(self, closer):
        self._closers.append(closer)

    def close(self):
        if self._closed:
            return
        self._closed = True
        while self._closers:
            closer = self._closers.pop()
            try:
                closer()
            except Exception:  # a failing closer must not keep the rest open
                pass
        if self.prefix is not None and self.env is not None:
            try:
                subprocess.run([WINESERVER, "-k"], env=self.env, timeout=60,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except (subprocess.SubprocessError, OSError):
                pass
        for process in self._wine_processes:
            _terminate(process)
            for stream in (process.stdin, process.stdout):
                if stream is not None:
                    try:
                        stream.close()
                    except OSError:
                        pass
        if self._xvfb is not None:
            _terminate(self._xvfb)
        _open_sessions.discard(self)
        if self.root is not None and not os.environ.get("VANTREL_KEEP_SESSIONS"):
            shutil.rmtree(self.root, ignore_errors=True)

    # -- running Windows programs

    def wine(self, exe, *args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, log_name=None):
        """Starts a Windows program of this prefix directly (not through the driver)."""
        stderr_path = self.log_dir / f"{log_name or Path(exe).stem}.stderr.log"
        with open(stderr_path, "ab") as stderr:
            process = subprocess.Popen([WINE, str(exe), *map(str, args)], env=self.env,
                                       stdin=stdin, stdout=stdout, stderr=stderr)
        self._wine_processes.append(process)
        return process

    def run_wine(self, exe, *args, timeout=600, output=None):
        """Runs a Windows program to its end; returns its exit code."""
        with open(output or os.devnull, "wb") as out:
            process = subprocess.Popen([WINE, str(exe), *map(str, args)], env=self.env,
                                       stdout=out, stderr=subprocess.STDOUT)
            try:
                return process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise HarnessError(f"{exe} did not end within {timeout} s") from None

    def screenshot(self, path):
        """Saves the whole screen as PNG; returns the path, or None when that failed."""
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        try:
            result = subprocess.run(["import", "-display", self.display, "-window", "root",
                                     str(path)], capture_output=True, timeout=60)
        except (subprocess.SubprocessError, OSError):
            return None
        return path if result.returncode == 0 and path.exists() else None

    # -- parts

    def driver(self):
        if self._driver is None:
            self._driver = Driver(self)
            self.add_closer(self._driver.close)
        return self._driver

    def com_port(self, name="COM3", plugged=True):
        port = ComPort(self, name)
        self.add_closer(port.close)
        if plugged:
            port.plug()
        return port

    def pipe_client(self, pipe_name):
        client = StubPipeClient(self, pipe_name)
        self.add_closer(client.close)
        return client

    def vm(self, pipe_name="Vantrel", buffer_size=None):
        stub = StubVM(self, pipe_name, buffer_size)
        self.add_closer(stub.close)
        return stub

    def program(self, exe, restricted=False, kind=None):
        kind = kind or Program
        return kind(self, self.driver().launch(exe, restricted=restricted), Path(exe).name)

    def vantrel(self, restricted=False, args=(), caption=MAIN_CAPTION):
        """Vantrel.exe started as a user starts it, with args; caption is its
        status window's ("Vantrel - NAME" for a bridge, "(service)" added
        when it shows the service's)."""
        pid = self.driver().launch(self.tool("Vantrel.exe"), restricted=restricted, args=args)
        return Vantrel(self, pid, caption=caption)

    def command(self, *args, program="Vantrel.exe", timeout=120):
        """Runs Vantrel.exe (or a Wine program such as sc) with args to its
        end: (exit code, what it printed)."""
        exe = self.tool(program) if program == "Vantrel.exe" else program
        result = subprocess.run([WINE, str(exe), *map(str, args)], env=self.env,
                                capture_output=True, timeout=timeout)
        return result.returncode, (result.stdout + result.stderr).decode("utf-8", "replace")

    def hyperv(self, vms=(), behaviour=""):
        """What the stand-in Hyper-V answers from now on: the VMs (hyperv_vm),
        in ASCII with JSON escapes as the script writes them, or a behaviour
        ("hang", "absent", "denied")."""
        folder = self.prefix / HYPERV_FOLDER
        (folder / "vms.json").write_text(json.dumps(list(vms), separators=(",", ":")))
        (folder / "behaviour.txt").write_text(behaviour)

    def hyperv_requests(self):
        """What the stand-in was asked, one dict per call: "args" (a list) and
        the request's variables."""
        path = self.prefix / HYPERV_FOLDER / "requests.txt"
        text = path.read_text(encoding="utf-8") if path.exists() else ""
        requests = []
        for block in text.split("--\n")[:-1]:
            request = {"args": []}
            for line in block.splitlines():
                key, _, value = line.partition("=")
                if key == "arg":
                    request["args"].append(value)
                else:
                    request[key[len("env:"):]] = value
            requests.append(request)
        return requests

    def program_data(self, name):
        """A file of %ProgramData%\\Vantrel, as Linux sees it."""
        return self.prefix / "drive_c" / "ProgramData" / "Vantrel" / name


# --- the COM port ---------------------------------------------------------------


class ComPort:
    """A COM port of the prefix backed by a pty pair; the test plays the device."""

    def __init__(self, session, name="COM3"):
        match = re.fullmatch(r"(?i)com(\d+)", name)
        if not match:
            raise HarnessError(f"not a COM port name: {name}")
        self.session = session
        self.name = name.upper()
        self.number = int(match.group(1))
        self.dir = session.root / self.name.lower()
        self.dir.mkdir(exist_ok=True)
        self.device_path = self.dir / "device"
        self.host_path = self.dir / "host"
        self._socat = None
        self._fd = None
        # The link lives only while the port is plugged. Wine would open a
        # port whose link dangles, or one registered under
        # HKLM\Software\Wine\Ports without a device, as if it existed
        # (only its line calls fail): neither is a missing port.
        self.link = session.prefix / "dosdevices" / self.name.lower()
        if os.path.lexists(self.link):
            raise HarnessError(f"{self.name} is taken in Wine by {os.readlink(self.link)}, "
                               f"a serial port of this machine; use another port name")

    @property
    def plugged(self):
        return self._socat is not None and self._socat.poll() is None

    def plug(self):
        """Makes the port exist (again, under the same name)."""
        if self.plugged:
            return
        log = open(self.session.log_dir / f"socat-{self.name.lower()}.log", "ab")
        self._socat = subprocess.Popen(
            ["socat", "-d", "-d", f"pty,raw,echo=0,link={self.device_path}",
             f"pty,raw,echo=0,link={self.host_path}"],
            stdout=log, stderr=log, start_new_session=True)
        log.close()
        record_process(self.session.root, "socat", self._socat)
        wait_for(f"socat to make {self.device_path} and {self.host_path}",
                 lambda: (self.device_path.exists() and self.host_path.exists(),
                          sorted(p.name for p in self.dir.iterdir())), timeout=15)
        self._fd = os.open(self.device_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        if self.link.is_symlink():
            self.link.unlink()
        self.link.symlink_to(self.host_path)
        tty.setraw(self._fd)
        attributes = termios.tcgetattr(self._fd)
        attributes[3] &= ~termios.ECHO
        termios.tcsetattr(self._fd, termios.TCSANOW, attributes)

    def unplug(self):
        """Makes the port disappear, as when a USB adapter is pulled out."""
        if self.link.is_symlink():
            self.link.unlink()
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if self._socat is not None:
            _terminate(self._socat)
            self._socat = None
        for path in (self.device_path, self.host_path):
            if path.is_symlink():
                path.unlink()

    close = unplug

    def held(self):
        """Whether a process other than socat, which makes the pty, has it open
        (Wine keeps the descriptor of an open COM port)."""
        pty = os.path.realpath(self.host_path)
        socat = f"/proc/{self._socat.pid}/" if self._socat else "-"
        for fd in glob.glob("/proc/[0-9]*/fd/*"):
            if fd.startswith(socat):
                continue
            try:
                if os.readlink(fd) == pty:
                    return True
            except OSError:
                pass
        return False

    def _require(self):
        if self._fd is None:
            raise HarnessError(f"{self.name} is unplugged")
        return self._fd

    def write(self, data, timeout=None):
        fd = self._require()
        timeout = DEFAULT_TIMEOUT if timeout is None else timeout
        deadline = time.monotonic() + timeout
        view = memoryview(bytes(data))
        while view:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise HarnessError(f"{self.name}: {len(view)} of {len(data)} bytes still unwritten "
                                   f"after {timeout:g} s (nobody reads the port?)")
            _, ready, _ = select.select([], [fd], [], min(remaining, 0.5))
            if ready:
                try:
                    view = view[os.write(fd, view):]
                except BlockingIOError:
                    pass

    def read_exactly(self, count, timeout=None):
        """Exactly count bytes from the port, or a failure showing what came."""
        fd = self._require()
        timeout = DEFAULT_TIMEOUT if timeout is None else timeout
        deadline = time.monotonic() + timeout
        data = bytearray()
        while len(data) < count:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise HarnessError(f"{self.name}: got {len(data)} of {count} bytes within "
                                   f"{timeout:g} s: {bytes(data[:64])!r}...")
            ready, _, _ = select.select([fd], [], [], min(remaining, 0.5))
            if ready:
                try:
                    data += os.read(fd, count - len(data))
                except BlockingIOError:
                    pass
        return bytes(data)

    def read_for(self, seconds):
        """Everything that arrives within the next seconds (for 'nothing came' checks)."""
        fd = self._require()
        deadline = time.monotonic() + seconds
        data = bytearray()
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return bytes(data)
            ready, _, _ = select.select([fd], [], [], remaining)
            if ready:
                try:
                    data += os.read(fd, 65536)
                except BlockingIOError:
                    pass


# --- the stand-in virtual machine ----------------------------------------------


class StubVM:
    """vmstub.exe: the pipe server a virtual machine would offer, bridged to TCP here."""

    def __init__(self, session, pipe_name="Vantrel", buffer_size=None):
        self.session = session
        self.pipe_name = pipe_name
        args = ["--pipe", pipe_name, "--port", "0"]
        if buffer_size is not None:
            args += ["--buffer", str(buffer_size)]
        self.process = session.wine(session.tool("vmstub.exe"), *args, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, log_name=f"vmstub-{log_safe(pipe_name)}")
        self.output = LineReader(self.process.stdout,
                                 session.log_dir / f"vmstub-{log_safe(pipe_name)}.log")
        _, line = self.output.wait_line(r"tcp-port \d+")
        self.tcp_port = int(line.split()[1])
        self.socket = socket.create_connection(("127.0.0.1", self.tcp_port), timeout=10)
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.mark = 0
        self.wait_line("listening", since_mark=False)
        self.wait_line("tcp-client-connected", since_mark=False)

    def command(self, line):
        try:
            self.process.stdin.write((line + "\n").encode())
            self.process.stdin.flush()
        except (BrokenPipeError, ValueError):
            raise HarnessError(f"vmstub has ended; could not send {line!r}") from None

    def wait_line(self, pattern, timeout=None, since_mark=True):
        """Waits for a status line (regular expression) printed after the last
        wait_line or mark() that matched, or since the start."""
        start = self.mark if since_mark else 0
        index, line = self.output.wait_line(pattern, start, timeout)
        self.mark = index + 1
        return line

    def mark_now(self):
        """Later waits only see status lines printed from now on."""
        self.mark = len(self.output.lines)

    def wait_client(self, timeout=None):
        return self.wait_line("pipe-client-connected", timeout)

    def wait_client_gone(self, timeout=None):
        return self.wait_line("pipe-client-gone", timeout)

    def pause(self):
        self.mark_now()
        self.command("pause")
        self.wait_line("paused")

    def resume(self):
        self.mark_now()
        self.command("resume")
        self.wait_line("resumed")

    def disconnect(self, reopen_after_ms=0):
        """Drops the client and, after reopen_after_ms, listens again (a VM restart)."""
        self.mark_now()
        self.command(f"disconnect {int(reopen_after_ms)}")
        self.wait_line("disconnected")

    def close_pipe(self):
        self.mark_now()
        self.command("close")
        self.wait_line("disconnected")

    def open_pipe(self):
        self.mark_now()
        self.command("open")
        self.wait_line("listening")

    def stats(self):
        """(bytes pipe to TCP, bytes TCP to pipe) so far."""
        self.mark_now()
        self.command("stats")
        line = self.wait_line("stats ")
        values = dict(part.split("=") for part in line.split()[1:])
        return int(values["pipe-to-tcp"]), int(values["tcp-to-pipe"])

    def send(self, data):
        """Bytes the virtual machine writes to its COM port."""
        self.socket.settimeout(DEFAULT_TIMEOUT)
        self.socket.sendall(bytes(data))

    def recv_exactly(self, count, timeout=None):
        """Exactly count bytes that reached the virtual machine."""
        timeout = DEFAULT_TIMEOUT if timeout is None else timeout
        deadline = time.monotonic() + timeout
        data = bytearray()
        while len(data) < count:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise HarnessError(f"VM {self.pipe_name}: got {len(data)} of {count} bytes "
                                   f"within {timeout:g} s: {bytes(data[:64])!r}...")
            self.socket.settimeout(remaining)
            try:
                chunk = self.socket.recv(count - len(data))
            except socket.timeout:
                continue
            if not chunk:
                raise HarnessError(f"VM {self.pipe_name}: connection closed after {len(data)} "
                                   f"of {count} bytes")
            data += chunk
        return bytes(data)

    def recv_for(self, seconds):
        """Everything that reaches the virtual machine within the next seconds."""
        deadline = time.monotonic() + seconds
        data = bytearray()
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return bytes(data)
            self.socket.settimeout(remaining)
            try:
                chunk = self.socket.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                return bytes(data)
            data += chunk

    def stop(self):
        """Ends the stand-in cleanly; its pipe disappears."""
        if self.process.poll() is None:
            self.command("quit")
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.kill()

    def kill(self):
        """Kills the stand-in, as a virtual machine that is switched off."""
        _terminate(self.process, grace=0)
        self.process.wait(15)

    def close(self):
        try:
            self.socket.close()
        finally:
            if self.process.poll() is None:
                self.kill()


class StubPipeClient:
    """vmstub.exe --connect: a second pipe client (one that holds the pipe, or
    the far end for checking StubVM itself), bridged to TCP the same way."""

    def __init__(self, session, pipe_name):
        self.process = session.wine(session.tool("vmstub.exe"), "--connect", pipe_name, "--port",
                                    "0", stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    log_name=f"pipeclient-{log_safe(pipe_name)}")
        self.output = LineReader(self.process.stdout,
                                 session.log_dir / f"pipeclient-{log_safe(pipe_name)}.log")
        _, line = self.output.wait_line(r"tcp-port \d+")
        self.socket = socket.create_connection(("127.0.0.1", int(line.split()[1])), timeout=10)
        self.output.wait_line("pipe-connected|error")
        if not any(l == "pipe-connected" for l in self.output.lines):
            raise HarnessError(f"pipe client could not connect: {self.output.lines!r}")

    send = StubVM.send
    recv_exactly = StubVM.recv_exactly
    recv_for = StubVM.recv_for
    pipe_name = property(lambda self: "client")

    def wait_line(self, pattern, timeout=None):
        return self.output.wait_line(pattern, 0, timeout)[1]

    def close(self):
        self.socket.close()
        _terminate(self.process, grace=0)


# --- the UI driver --------------------------------------------------------------


class MessageBox:
    def __init__(self, hwnd, caption, text, buttons):
        self.hwnd = hwnd
        self.caption = caption
        self.text = text
        self.buttons = buttons  # id -> label as shown (with & marks)

    def button_id(self, which):
        if isinstance(which, int):
            return which
        for button_id, label in self.buttons.items():
            if label.replace("&", "") == which.replace("&", ""):
                return button_id
        raise HarnessError(f"message box {self.caption!r} has no button {which!r}; "
                           f"it has {list(self.buttons.values())!r}")

    def __repr__(self):
        return f"MessageBox({self.caption!r}, {self.text!r}, {self.buttons!r})"


class Driver:
    """uidriver.exe: one command, one reply."""

    def __init__(self, session):
        self.session = session
        self.process = session.wine(session.tool("uidriver.exe"), stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE)
        self._lock = threading.Lock()
        self._transcript = open(session.log_dir / "uidriver.log", "a", encoding="utf-8")
        self._reader = LineReader(self.process.stdout)
        self.call("ping")

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write(b"quit\n")
                self.process.stdin.flush()
                self.process.wait(5)
            except (OSError, ValueError, subprocess.TimeoutExpired):
                _terminate(self.process)
        self._transcript.close()

    def try_call(self, *fields, timeout=60):
        """(ok, reply fields) of one command."""
        line = " ".join(escape_field(f) for f in fields)
        with self._lock:
            if self.process.poll() is not None:
                raise HarnessError(f"uidriver has ended (exit code {self.process.returncode})")
            self._transcript.write(f"{time.strftime('%H:%M:%S')} > {line}\n")
            self.process.stdin.write((line + "\n").encode("utf-8"))
            self.process.stdin.flush()
            reply = self._reader.next_line(timeout)
            if reply is None:
                raise HarnessError("uidriver ended without a reply")
            self._transcript.write(f"{time.strftime('%H:%M:%S')} < {reply[:2000]}\n")
            self._transcript.flush()
        parts = reply.split(" ")
        return parts[0] == "ok", [unescape_field(p) for p in parts[1:] if p]

    def call(self, *fields, timeout=60):
        ok, reply = self.try_call(*fields, timeout=timeout)
        if not ok:
            raise DriverError([str(f) for f in fields], " ".join(reply))
        return reply

    # processes
    def launch(self, exe, restricted=False, args=()):
        verb = "launch-restricted" if restricted else "launch"
        return int(self.call(verb, windows_path(exe), *args)[0])

    def is_admin(self, pid):
        return self.call("admin", pid)[0] == "1"

    def wait_exit(self, pid, timeout=None):
        """The exit code, or None while it still runs after timeout."""
        timeout = DEFAULT_TIMEOUT if timeout is None else timeout
        ok, reply = self.try_call("wait-exit", pid, int(timeout * 1000), timeout=timeout + 60)
        if not ok:
            if reply == ["timeout"]:
                return None
            raise DriverError(["wait-exit", str(pid)], " ".join(reply))
        return int(reply[0])

    def exit_code(self, pid):
        value = self.call("exit-code", pid)[0]
        return None if value == "running" else int(value)

    def kill(self, pid):
        self.call("kill", pid)

    def pipe_state(self, pipe_name):
        """"absent", "busy" (exists, no free instance) or "available"."""
        return self.call("pipe-exists", pipe_name)[0]

    # windows
    def windows(self, pid):
        """[(hwnd, class, visible, caption)] of the process's top-level windows."""
        r = self.call("windows", pid)
        return [(r[i], r[i + 1], r[i + 2] == "1", r[i + 3]) for i in range(0, len(r), 4)]

    def find_window(self, pid, caption, window_class="#32770"):
        ok, reply = self.try_call("find-window", pid, window_class, caption)
        return reply[0] if ok else None

    def controls(self, hwnd):
        r = self.call("controls", hwnd)
        return [(int(r[i]), r[i + 1], r[i + 2] == "1", r[i + 3] == "1", r[i + 4])
                for i in range(0, len(r), 5)]

    def boxes(self, pid):
        """The process's visible message boxes; one that closes between the
        listing and its reading is left out. Any other failure to read one is
        an error: an empty list always means that no box is shown."""
        found = []
        for hwnd in self.call("boxes", pid):
            try:
                found.append(self.box(hwnd))
            except DriverError as error:
                if error.reason != "gone":
                    raise
        return found

    def box(self, hwnd):
        r = self.call("box", hwnd)
        buttons = {int(r[i]): r[i + 1] for i in range(2, len(r) - 1, 2)}
        return MessageBox(hwnd, r[0], r[1], buttons)

    def text(self, hwnd, control="self"):
        """WM_GETTEXT; None while the owning thread does not answer."""
        ok, reply = self.try_call("text", hwnd, control)
        if not ok:
            if reply == ["busy"]:
                return None
            raise DriverError(["text", hwnd, str(control)], " ".join(reply))
        return reply[0]

    def system_text(self, hwnd, control="self"):
        return self.call("wtext", hwnd, control)[0]

    def enabled(self, hwnd, control):
        return self.call("enabled", hwnd, control)[0] == "1"

    def visible(self, hwnd, control):
        return self.call("visible", hwnd, control)[0] == "1"

    def checked(self, hwnd, control):
        return int(self.call("checked", hwnd, control)[0])

    def combo(self, hwnd, control):
        """(selected index, [entry texts])."""
        r = self.call("combo", hwnd, control)
        return int(r[0]), r[2:]

    def icon(self, hwnd, control):
        """(colour name, (r, g, b), source) of the icon shown by a picture control."""
        r = self.call("icon", hwnd, control)
        return r[0], (int(r[1]), int(r[2]), int(r[3])), r[4] if len(r) > 4 else ""

    def rect(self, hwnd, control="self"):
        return tuple(int(v) for v in self.call("rect", hwnd, control))

    def set_text(self, hwnd, control, text):
        self.call("set-text", hwnd, control, text)

    def combo_select(self, hwnd, control, index):
        self.call("combo-select", hwnd, control, index)

    def click(self, hwnd, control):
        self.call("click", hwnd, control)

    def command(self, hwnd, control):
        self.call("command", hwnd, control)

    def syscommand(self, hwnd, command_id):
        self.call("syscommand", hwnd, command_id)

    def key(self, hwnd, name):
        self.call("key", hwnd, name)

    def sys_close(self, hwnd):
        self.call("sys-close", hwnd)

    # registry
    def reg_set_sz(self, key, name, text):
        self.call("reg-set-sz", key, name, text)

    def reg_set_dword(self, key, name, value):
        self.call("reg-set-dword", key, name, int(value))

    def reg_set_raw(self, key, name, value_type, data):
        self.call("reg-set-raw", key, name, value_type, bytes(data).hex())

    def reg_query(self, key, name):
        """(type name, value) or None; REG_DWORD and REG_QWORD values as int."""
        ok, reply = self.try_call("reg-query", key, name)
        if not ok:
            if reply == ["missing"]:
                return None
            raise DriverError(["reg-query", key, name], " ".join(reply))
        return reply[0], _registry_value(reply[0], reply[1])

    def reg_values(self, key):
        """{name: (type name, value)}, or None when the key does not exist."""
        ok, reply = self.try_call("reg-values", key)
        if not ok:
            if reply == ["missing"]:
                return None
            raise DriverError(["reg-values", key], " ".join(reply))
        return {reply[i]: (reply[i + 1], _registry_value(reply[i + 1], reply[i + 2]))
                for i in range(0, len(reply), 3)}

    def reg_key_exists(self, key):
        return self.call("reg-key-exists", key)[0] == "1"

    def reg_delete_value(self, key, name):
        self.call("reg-delete-value", key, name)

    def reg_delete_tree(self, key):
        self.call("reg-delete-tree", key)


def _registry_value(type_name, text):
    if type_name in ("REG_DWORD", "REG_QWORD"):
        return int(text)
    if type_name in ("REG_SZ", "REG_EXPAND_SZ"):
        return text
    return bytes.fromhex(text)


# --- programs -----------------------------------------------------------------


class Program:
    """A program launched through the driver, with waits on its windows."""

    def __init__(self, session, pid, image_name):
        self.session = session
        self.driver = session.driver()
        self.pid = pid
        self.image_name = image_name
        self.launched_at = time.monotonic()

    def windows(self):
        return self.driver.windows(self.pid)

    def wait_window(self, caption, window_class="#32770", timeout=None):
        """The handle of a visible top-level window with this caption."""
        def probe():
            hwnd = self.driver.find_window(self.pid, caption, window_class)
            return hwnd is not None, hwnd or self._seen_windows(f"window {caption!r}")
        return wait_for(f"window {caption!r} of process {self.pid}", probe, timeout)

    def wait_window_gone(self, hwnd, timeout=None):
        def probe():
            alive = any(w[0] == hwnd and w[2] for w in self.driver.windows(self.pid))
            return not alive, [(w[3], w[1]) for w in self.driver.windows(self.pid) if w[2]]
        wait_for(f"window {hwnd} of process {self.pid} to close", probe, timeout)

    def _seen_windows(self, awaited):
        """The visible windows, for a failure message; fails at once when the
        process has ended, since what is awaited can then never come."""
        code = self.driver.exit_code(self.pid)
        if code is not None:
            raise HarnessError(f"process {self.pid} ended with exit code {code} while waiting "
                               f"for {awaited}")
        return [(w[3], w[1]) for w in self.driver.windows(self.pid) if w[2]]

    def boxes(self):
        return self.driver.boxes(self.pid)

    def wait_box(self, caption, timeout=None):
        """The first visible message box with this caption."""
        def probe():
            boxes = self.driver.boxes(self.pid)
            for box in boxes:
                if box.caption == caption:
                    return True, box
            return False, boxes or self._seen_windows(f"message box {caption!r}")
        return wait_for(f"message box {caption!r} of process {self.pid}", probe, timeout)

    def press_box(self, box, button):
        """Presses a message box button (id or label) and waits for the box to close."""
        self.driver.click(box.hwnd, box.button_id(button))
        self.wait_window_gone(box.hwnd)

    def wait_text(self, hwnd, control, expected, timeout=None):
        """Waits until a control's text equals expected (or matches it, if a
        compiled regular expression)."""
        def probe():
            text = self.driver.text(hwnd, control)
            if text is None:  # the user-interface thread is busy; the system's copy
                text = self.driver.system_text(hwnd, control)
            if hasattr(expected, "search"):
                return text is not None and expected.search(text) is not None, text
            return text == expected, text
        return wait_for(f"control {control} of window {hwnd} to read {expected!r}", probe, timeout)

    def wait_text_contains(self, hwnd, control, fragment, timeout=None):
        def probe():
            text = self.driver.text(hwnd, control)
            return text is not None and fragment in text, text
        return wait_for(f"control {control} of window {hwnd} to contain {fragment!r}", probe,
                        timeout)

    def wait_exit(self, timeout=None):
        """The exit code; fails when it still runs after timeout."""
        timeout = DEFAULT_TIMEOUT if timeout is None else timeout
        code = self.driver.wait_exit(self.pid, timeout)
        if code is None:
            windows = [(w[3], w[1]) for w in self.driver.windows(self.pid) if w[2]]
            raise HarnessError(f"process {self.pid} still runs after {timeout:g} s; "
                               f"windows: {windows!r}")
        return code

    @property
    def running(self):
        return self.driver.exit_code(self.pid) is None

    def kill(self):
        self.driver.kill(self.pid)

    def unix_pid(self):
        """The Linux process that runs this Windows process (matched by image name
        among the processes of this prefix)."""
        exe = self.image_name
        candidates = []
        for entry in os.scandir("/proc"):
            if not entry.name.isdigit():
                continue
            try:
                with open(f"/proc/{entry.name}/cmdline", "rb") as f:
                    command = f.read().split(b"\0")[0].decode("utf-8", "replace").strip()
                with open(f"/proc/{entry.name}/environ", "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if command.lower().endswith("\\" + exe.lower()) and \
                    f"WINEPREFIX={self.session.prefix}".encode() in environ:
                candidates.append(int(entry.name))
        if len(candidates) != 1:
            raise HarnessError(f"found {len(candidates)} Linux processes for {exe} in this "
                               f"prefix: {candidates}")
        return candidates[0]

    def cpu_seconds(self):
        """User plus system processor time used so far, all threads."""
        with open(f"/proc/{self.unix_pid()}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])  # utime, stime
        return ticks / os.sysconf("SC_CLK_TCK")


class Vantrel(Program):
    """Vantrel.exe with its status window (dialog 129)."""

    def __init__(self, session, pid, image_name="Vantrel.exe", caption=MAIN_CAPTION):
        super().__init__(session, pid, image_name)
        self._window = None
        self.caption = caption

    def status_window(self, timeout=None):
        """The status window; waits for it (it comes after the 5 s splash)."""
        if self._window is None:
            self._window = self.wait_window(self.caption, timeout=timeout or START_TIMEOUT)
        return self._window

    def field(self, control):
        hwnd = self.status_window()
        text = self.driver.text(hwnd, control)
        return self.driver.system_text(hwnd, control) if text is None else text

    def status_line(self):
        return self.field(STATUS_LINE)

    def wait_status_line(self, expected, timeout=None):
        return self.wait_text(self.status_window(), STATUS_LINE, expected, timeout)

    def messages(self):
        """The Messages pane (an edit, whose text only its own thread gives:
        waits while the user-interface thread is busy)."""
        def probe():
            text = self.driver.text(self.status_window(), MESSAGES)
            return text is not None, text
        return wait_for("the Messages pane to answer", probe)

    def wait_messages_contain(self, fragment, timeout=None):
        return self.wait_text_contains(self.status_window(), MESSAGES, fragment, timeout)

    def message_lines(self):
        return self.messages().split("\r\n")

    def counters(self):
        """(virtual received, virtual sent, serial received, serial sent) as shown."""
        return tuple(self.field(control) for control in COUNTERS)

    def wait_counters(self, virtual_received, virtual_sent, serial_received, serial_sent,
                      timeout=None):
        expected = tuple(str(n) for n in (virtual_received, virtual_sent, serial_received,
                                          serial_sent))

        def probe():
            seen = self.counters()
            return seen == expected, seen
        wait_for(f"counters (virtual received, virtual sent, serial received, serial sent) "
                 f"to read {expected}", probe, timeout)

    def indicator(self, control):
        """Colour name of the icon an indicator shows."""
        return self.driver.icon(self.status_window(), control)[0]


# --- unittest base ------------------------------------------------------------


def artifact_dir(test_id):
    path = ARTIFACTS / re.sub(r"[^A-Za-z0-9_.-]", "_", test_id)
    path.mkdir(parents=True, exist_ok=True)
    return path


class E2ETestCase(unittest.TestCase):
    """A fresh Wine session per test; screenshots and logs in artifacts/<test id>/."""

    def setUp(self):
        self.artifacts = artifact_dir(self.id())
        for old in self.artifacts.glob("*"):
            if old.is_file() and old.name != "unittest.log":  # the runner's, being written
                old.unlink()
        self.session = WineSession(log_dir=self.artifacts)
        self.session.start()
        self.addCleanup(self.session.close)
        (self.artifacts / "timings.txt").write_text(
            "".join(f"{name} {seconds:.2f} s\n" for name, seconds in self.session.timings.items()))
        # Cleanups run last-in first-out: the final picture is taken before
        # the session goes, whether the test passed or not.
        self.addCleanup(self.screenshot, "final")

    def screenshot(self, name):
        return self.session.screenshot(self.artifacts / f"{name}.png")

    @property
    def driver(self):
        return self.session.driver()

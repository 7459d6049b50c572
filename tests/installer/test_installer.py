#!/usr/bin/env python3
"""Runs the Vantrel setup program, its uninstaller and the MSI package for
real under Wine.

Each test case takes a fresh, throw-away Wine prefix (a copy of the booted
template prefix that the end-to-end harness keeps in the build directory)
and installs, changes, reinstalls and uninstalls in it, checking the files,
the Start-menu shortcut, the Add/Remove Programs entry, the settings store
in the 64-bit registry, the event source and the service.

Usage (builds nothing; tests/installer/run.sh builds and then calls this):

    VANTREL_SETUP=build/pkg/Vantrel-2.4-setup.exe python3 tests/installer/test_installer.py -v
    python3 tests/installer/test_installer.py build/pkg/Vantrel-2.4-setup.exe -v

Environment:
    VANTREL_SETUP   the setup program (required, unless given as first argument)
    VANTREL_EXE     the built Vantrel.exe: the installed copy must equal it
    VANTREL_ZIP     the release zip: checked for exactly the packaged files
    VANTREL_MSI     the MSI package (required by its test)
    VANTREL_README  the source README.md: when set, it must be installed and zipped
    WINE64          Wine loader (default /usr/lib/wine/wine64)
    WINESERVER      Wine server (default: next to WINE64)
    VANTREL_BUILD_DIR  where the template prefix is kept (default build/win)

The silent setup needs no display: the tests run without DISPLAY, which also
proves that nothing in silent mode tries to show a window.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

# The values an administrator's first start writes are the ones setup must
# write too; the prefixes are the end-to-end harness's.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "e2e"))
import harness  # noqa: E402
from harness import DEFAULT_STORE, VANTREL_KEY as STORE_KEY, VENDOR_KEY  # noqa: E402

WINE64 = os.environ.get("WINE64", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("WINESERVER", os.path.join(os.path.dirname(WINE64), "wineserver"))

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Vantrel"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Vantrel"
DEFAULT_DIR = r"C:\Program Files\Vantrel"
SHORTCUT = r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Vantrel.lnk"
# The service's logs and traces: NAME.log, trace-....txt and their older copies.
LOG_FOLDER = r"C:\ProgramData\Vantrel"
LOGS = [LOG_FOLDER + r"\Lab.log", LOG_FOLDER + r"\Lab.log.1",
        LOG_FOLDER + r"\trace-20261210-101500.txt", LOG_FOLDER + r"\trace-20261210-101500.txt.1"]

# Generous: a loaded machine can be many times slower than a quiet one.
STEP_TIMEOUT = 180

_REG_LINE = re.compile(r"^    (.+?)    (REG_[A-Z_]+)(?:    (.*))?$")


class VirtualDisplay:
    """A private Xvfb server, for the one case that runs the program itself."""

    def __init__(self):
        if not shutil.which("Xvfb") or not shutil.which("xdotool"):
            raise RuntimeError("this case needs Xvfb and xdotool")
        read_end, write_end = os.pipe()
        try:
            # -displayfd: the server picks a free display and reports its number.
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = None
            with os.fdopen(read_end, "rb") as reader:
                read_end = None
                number = reader.readline().strip()
        finally:
            for fd in (read_end, write_end):
                if fd is not None:
                    os.close(fd)
        if not number.isdigit():
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.name = f":{number.decode()}"

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=STEP_TIMEOUT)


class WinePrefix:
    """A fresh Wine prefix, removed again by destroy()."""

    def __init__(self, display=None):
        # In the build directory, next to the template, so that the copy can
        # share its system files.
        self.root = tempfile.mkdtemp(prefix="installer-", dir=harness.BUILD_DIR)
        self.path = os.path.join(self.root, "prefix")
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        if display:
            env["DISPLAY"] = display
        env["WINEPREFIX"] = self.path
        env["WINEDEBUG"] = "-all"
        # No Mono or Gecko prompts; no menu entries for the host's desktop
        # from the shortcuts the setup program makes.
        env["WINEDLLOVERRIDES"] = "mscoree,mshtml,winemenubuilder.exe="
        self.env = env

    def run(self, *args, timeout=STEP_TIMEOUT):
        # Files, not pipes: the wineserver and the service processes that a
        # Wine call may start inherit its output handles, and reading a pipe
        # to its end would wait for them to exit, not for the call.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run([WINE64, *args], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(args, code, out.read().decode(errors="replace"),
                                               err.read().decode(errors="replace"))

    def boot(self):
        harness.copy_prefix(harness.ensure_template(), self.path)

    def wait_idle(self):
        """Returns once every process of the prefix has ended."""
        subprocess.run([WINESERVER, "-w"], env=self.env, check=True, timeout=STEP_TIMEOUT)

    def destroy(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=STEP_TIMEOUT)
        shutil.rmtree(self.root, ignore_errors=True)

    def host_path(self, windows_path):
        """The host path of a C:\\ path inside the prefix."""
        drive, _, rest = windows_path.partition(":\\")
        if drive.upper() != "C":
            raise ValueError(windows_path)
        return os.path.join(self.path, "drive_c", *[p for p in rest.split("\\") if p])

    def exists(self, windows_path):
        return os.path.exists(self.host_path(windows_path))

    # Registry, always in the 64-bit view unless asked otherwise.

    def reg_query(self, key, view=64):
        """The values of a key as {name: (type, data)}, or None when the key is missing."""
        result = self.run("reg", "query", key, f"/reg:{view}")
        if result.returncode != 0:
            if "Unable to find" in result.stdout + result.stderr:
                return None
            raise RuntimeError(f"reg query {key} failed: {result.stdout}{result.stderr}")
        values = {}
        in_key = False
        for line in result.stdout.splitlines():
            if line.strip().lower() == key.replace("HKLM", "HKEY_LOCAL_MACHINE").lower():
                in_key = True
                continue
            if not line.strip():
                continue
            if line.startswith("HKEY_"):
                in_key = False  # a subkey's heading; its values are not asked for
                continue
            match = _REG_LINE.match(line)
            if not in_key or not match:
                continue
            name, kind, data = match.group(1), match.group(2), match.group(3) or ""
            if kind == "REG_DWORD":
                data = int(data, 16)
            values[name] = (kind, data)
        return values

    def reg_set(self, key, name, kind, data):
        result = self.run("reg", "add", key, "/v", name, "/t", kind, "/d", str(data), "/f", "/reg:64")
        if result.returncode != 0:
            raise RuntimeError(f"reg add {name} failed: {result.stdout}{result.stderr}")

    def service_state(self):
        """The state `sc query` reports (RUNNING, STOPPED, ...), or None without the service."""
        match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", self.run("sc", "query", "Vantrel").stdout)
        return match.group(1) if match else None

    def reg_delete_value(self, key, name):
        result = self.run("reg", "delete", key, "/v", name, "/f", "/reg:64")
        if result.returncode != 0:
            raise RuntimeError(f"reg delete {name} failed: {result.stdout}{result.stderr}")


def shortcut_target(lnk_path):
    """The local target path recorded in a .lnk file's LinkInfo."""
    with open(lnk_path, "rb") as f:
        data = f.read()
    header_size, = struct.unpack_from("<I", data, 0)
    if header_size != 0x4C:
        raise ValueError("not a shell link")
    flags, = struct.unpack_from("<I", data, 0x14)
    pos = header_size
    if flags & 0x1:  # HasLinkTargetIDList
        id_list_size, = struct.unpack_from("<H", data, pos)
        pos += 2 + id_list_size
    if not flags & 0x2:  # HasLinkInfo
        raise ValueError("shortcut has no LinkInfo")
    link_info = pos
    _, _, info_flags, _, base_offset, _, suffix_offset = struct.unpack_from("<7I", data, link_info)
    if not info_flags & 0x1:  # VolumeIDAndLocalBasePath
        raise ValueError("shortcut has no local base path")

    def c_string(offset):
        end = data.index(b"\0", offset)
        return data[offset:end].decode("cp1252")

    return c_string(link_info + base_offset) + c_string(link_info + suffix_offset)


def text_of(path):
    with open(path, "rb") as f:
        return f.read().replace(b"\r\n", b"\n")


SETUP = None


def setUpModule():
    global SETUP
    SETUP = os.environ.get("VANTREL_SETUP")
    if not SETUP or not os.path.isfile(SETUP):
        raise RuntimeError("Set VANTREL_SETUP (or pass as first argument) to the built "
                           f"Vantrel-<version>-setup.exe; got {SETUP!r}")
    SETUP = os.path.abspath(SETUP)
    for tool in (WINE64, WINESERVER):
        if not os.access(tool, os.X_OK):
            raise RuntimeError(f"{tool} is not there; set WINE64 / WINESERVER")


class WineCase(unittest.TestCase):
    """A fresh prefix per test case, with the steps and checks the cases share."""

    maxDiff = None
    display = None

    def setUp(self):
        self.wine = WinePrefix(self.display.name if self.display else None)
        self.addCleanup(self.wine.destroy)
        self.wine.boot()

    # Steps.

    def install(self, *args):
        result = self.wine.run(SETUP, "/S", *args)
        self.assertEqual(result.returncode, 0, f"setup {args} failed: {result.stderr}")

    def install_to(self, folder, *args):
        # /D= must be the last parameter and unquoted even with blanks; Wine
        # quotes an argument holding a blank, so pass the pieces separately:
        # the command line then reads "/S /D=C:\Tools\Vantrel Bridge".
        self.install(*args, *f"/D={folder}".split(" "))

    def uninstall(self, *extra):
        """Runs the registered quiet uninstall command and waits until it has finished."""
        entry = self.wine.reg_query(UNINSTALL_KEY)
        self.assertIsNotNone(entry, "no uninstall entry to run")
        command = entry["QuietUninstallString"][1]
        match = re.fullmatch(r'"([^"]+)"\s*(.*)', command)
        self.assertIsNotNone(match, f"QuietUninstallString not a quoted path: {command!r}")
        result = self.wine.run(match.group(1), *match.group(2).split(), *extra)
        self.assertEqual(result.returncode, 0, result.stderr)
        # The uninstaller hands over to a copy of itself in %TEMP% and returns
        # at once; the work is done when that copy has exited.
        self.wine.wait_idle()

    def set_value(self, name, kind, data):
        self.wine.reg_set(STORE_KEY, name, kind, data)
        self.assertEqual(self.wine.reg_query(STORE_KEY).get(name), (kind, data),
                         f"could not prepare {name}")

    def delete_value(self, name):
        self.wine.reg_delete_value(STORE_KEY, name)
        self.assertNotIn(name, self.wine.reg_query(STORE_KEY), f"could not delete {name}")

    # Checks.

    def assert_installed_in(self, folder, service=False):
        """The setup program's installation in folder, with or without the service."""
        self.assert_program_in(folder, SHORTCUT, service)
        self.assertTrue(self.wine.exists(f"{folder}\\uninstall.exe"), "uninstall.exe missing")
        entry = self.wine.reg_query(UNINSTALL_KEY)
        self.assertIsNotNone(entry, "no Add/Remove Programs entry")
        self.assertEqual(entry.get("DisplayName"), ("REG_SZ", "Vantrel"))
        self.assertEqual(entry.get("DisplayVersion"), ("REG_SZ", "2.4"))
        self.assertEqual(entry.get("Publisher"), ("REG_SZ", "Orbenwick"))
        self.assertEqual(entry.get("InstallLocation"), ("REG_SZ", folder))
        self.assertEqual(entry.get("UninstallString"), ("REG_SZ", f'"{folder}\\uninstall.exe"'))
        self.assertEqual(entry.get("QuietUninstallString"), ("REG_SZ", f'"{folder}\\uninstall.exe" /S'))

    def assert_program_in(self, folder, shortcut, service):
        """What both packages install: files, shortcut, event source, the service when asked for."""
        for name in ("Vantrel.exe", "LICENSE"):
            self.assertTrue(self.wine.exists(f"{folder}\\{name}"), f"{folder}\\{name} missing")
        exe = os.environ.get("VANTREL_EXE")
        if exe:
            with open(exe, "rb") as built, open(self.wine.host_path(f"{folder}\\Vantrel.exe"), "rb") as installed:
                self.assertTrue(built.read() == installed.read(), "installed Vantrel.exe differs from the build")
        license_text = text_of(self.wine.host_path(f"{folder}\\LICENSE"))
        self.assertIn(b"MIT License", license_text)
        self.assertIn(b"2026 Orbenwick", license_text)
        readme = os.environ.get("VANTREL_README")
        if readme:
            self.assertEqual(text_of(self.wine.host_path(f"{folder}\\README.md")), text_of(readme))

        self.assertTrue(self.wine.exists(shortcut), "Start-menu shortcut missing")
        self.assertEqual(shortcut_target(self.wine.host_path(shortcut)).lower(),
                         f"{folder}\\Vantrel.exe".lower())

        program = f"{folder}\\Vantrel.exe"
        self.assertEqual(self.wine.reg_query(EVENT_SOURCE_KEY), {
            "EventMessageFile": ("REG_EXPAND_SZ", program),
            "CategoryMessageFile": ("REG_EXPAND_SZ", program),
            "TypesSupported": ("REG_DWORD", 7), "CategoryCount": ("REG_DWORD", 3)})
        if not service:
            self.assertIsNone(self.wine.reg_query(SERVICE_KEY), "service installed unasked")
            return
        expected = {"ImagePath": ("REG_SZ", f'"{program}" --service'), "Start": ("REG_DWORD", 2),
                    "ObjectName": ("REG_SZ", "LocalSystem"),
                    "DisplayName": ("REG_SZ", "Vantrel serial bridge")}
        installed = self.wine.reg_query(SERVICE_KEY) or {}
        self.assertEqual({name: installed.get(name) for name in expected}, expected)

        def running():
            state = self.wine.service_state()
            return state == "RUNNING", state
        harness.wait_for("the service to run", running, timeout=STEP_TIMEOUT, interval=0.2)

    def assert_removed_from(self, folder, shortcut=SHORTCUT):
        self.assertFalse(self.wine.exists(folder), f"{folder} left behind")
        self.assertFalse(self.wine.exists(shortcut), "Start-menu shortcut left behind")
        self.assertIsNone(self.wine.reg_query(UNINSTALL_KEY), "uninstall entry left behind")
        self.assertIsNone(self.wine.reg_query(SERVICE_KEY), "service left behind")
        self.assertIsNone(self.wine.reg_query(EVENT_SOURCE_KEY), "event source left behind")

    def write_logs(self):
        for log in LOGS:
            os.makedirs(os.path.dirname(self.wine.host_path(log)), exist_ok=True)
            with open(self.wine.host_path(log), "w") as f:
                f.write("log\n")

    def assert_store(self, expected):
        store = self.wine.reg_query(STORE_KEY)
        self.assertIsNotNone(store, "no settings store in the 64-bit registry")
        self.assertNotIn("Init from hardware", store)
        self.assertEqual(store, expected)
        self.assertIsNone(self.wine.reg_query(STORE_KEY, view=32),
                          "settings store landed in the 32-bit registry view")


class InstallerTest(WineCase):
    def test_install_reinstall_uninstall_keeps_user_settings(self):
        self.assertIsNone(self.wine.reg_query(STORE_KEY), "fresh prefix already has a store")
        self.install()
        self.assert_installed_in(DEFAULT_DIR)
        self.assert_store(DEFAULT_STORE)

        self.set_value("Baud rate", "REG_DWORD", 115200)
        self.set_value("Pipe name", "REG_SZ", "Lab VM")
        changed = dict(DEFAULT_STORE)
        changed["Baud rate"] = ("REG_DWORD", 115200)
        changed["Pipe name"] = ("REG_SZ", "Lab VM")

        # The service asked for on a reinstall; then an upgrade over the
        # running service, which must stop it to replace Vantrel.exe, keeps
        # it and starts it again.
        self.install("/SERVICE")
        self.assert_installed_in(DEFAULT_DIR, service=True)
        self.install()
        self.assert_installed_in(DEFAULT_DIR, service=True)
        self.assert_store(changed)

        # The service goes even when its program has gone first.
        self.write_logs()
        os.remove(self.wine.host_path(DEFAULT_DIR + r"\Vantrel.exe"))
        self.uninstall()
        self.assert_removed_from(DEFAULT_DIR)
        # Kept on purpose: a later install carries on with the user's
        # settings, and the logs may still be wanted.
        self.assert_store(changed)
        for log in LOGS:
            self.assertTrue(self.wine.exists(log), f"{log} deleted without /PURGE")

        self.install()
        self.assert_installed_in(DEFAULT_DIR)
        self.assert_store(changed)

    def test_custom_folder_store_repair_move_and_purge(self):
        bridge = r"C:\Tools\Vantrel Bridge"
        self.install_to(bridge, "/SERVICE")
        self.assert_installed_in(bridge, service=True)
        self.assertFalse(self.wine.exists(DEFAULT_DIR), "installed into the default folder despite /D")
        self.assert_store(DEFAULT_STORE)

        # Missing values are filled in; every existing one is left alone, even
        # one of a type the program cannot read.
        self.delete_value("Discard NULL")
        self.delete_value("Stop bits")
        self.set_value("Parity", "REG_SZ", "odd")
        self.set_value("Serial port", "REG_SZ", "COM7")
        expected = dict(DEFAULT_STORE)
        expected["Parity"] = ("REG_SZ", "odd")
        expected["Serial port"] = ("REG_SZ", "COM7")

        # Without /D an upgrade goes where the registered copy is.
        self.install()
        self.assert_installed_in(bridge, service=True)
        self.assertFalse(self.wine.exists(DEFAULT_DIR), "upgrade ignored the registered folder")
        self.assert_store(expected)

        # Moving the installation removes the old copy but not the user's files.
        notes = self.wine.host_path(bridge + r"\notes.txt")
        with open(notes, "w") as f:
            f.write("mine\n")
        self.install_to(DEFAULT_DIR)
        self.assert_installed_in(DEFAULT_DIR, service=True)
        for name in ("Vantrel.exe", "LICENSE", "uninstall.exe", "README.md"):
            self.assertFalse(self.wine.exists(f"{bridge}\\{name}"), f"old copy's {name} left behind")
        self.assertTrue(os.path.exists(notes), "the user's file in the old folder was deleted")
        self.assert_store(expected)

        # /PURGE removes the store and the logs, but not other programs' keys
        # under the vendor's.
        self.wine.reg_set(VENDOR_KEY + r"\Other", "Kept", "REG_DWORD", 1)
        self.write_logs()
        self.uninstall("/PURGE")
        self.assert_removed_from(DEFAULT_DIR)
        self.assertIsNone(self.wine.reg_query(STORE_KEY), "/PURGE left the settings store")
        self.assertFalse(self.wine.exists(LOG_FOLDER), "/PURGE left the logs")
        self.assertEqual(self.wine.reg_query(VENDOR_KEY + r"\Other"), {"Kept": ("REG_DWORD", 1)})


class RunningProgramTest(WineCase):
    """A running Vantrel.exe can be neither replaced nor deleted: the setup
    program and the uninstaller must refuse instead of reporting success."""

    def setUp(self):
        # The program needs a display to stay up (it waits in its COM-port
        # failure dialog, as this prefix has no COM3 device).
        self.display = VirtualDisplay()
        self.addCleanup(self.display.stop)
        super().setUp()

    def start_program(self, folder):
        program = subprocess.Popen([WINE64, f"{folder}\\Vantrel.exe"], env=self.wine.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_program, program)
        # Its first window (the splash) shows that the image is loaded.
        deadline = time.monotonic() + STEP_TIMEOUT
        while True:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(program.pid)],
                                   env=self.wine.env, capture_output=True, timeout=STEP_TIMEOUT)
            if found.returncode == 0 and found.stdout.strip():
                return program
            self.assertIsNone(program.poll(), "Vantrel.exe ended before showing a window")
            self.assertLess(time.monotonic(), deadline, "Vantrel.exe showed no window")
            time.sleep(0.2)

    def stop_program(self, program):
        if program.poll() is None:
            program.kill()
            program.wait(timeout=STEP_TIMEOUT)
            # Until the server has seen the process go, its image stays in use.
            self.wine.wait_idle()

    def test_upgrade_and_uninstall_refuse_while_the_program_runs(self):
        self.install()
        self.assert_installed_in(DEFAULT_DIR)
        self.set_value("Pipe name", "REG_SZ", "Lab VM")
        expected = dict(DEFAULT_STORE)
        expected["Pipe name"] = ("REG_SZ", "Lab VM")

        program = self.start_program(DEFAULT_DIR)

        result = self.wine.run(SETUP, "/S")
        self.assertEqual(result.returncode, 32, "upgrade over a running program did not refuse")
        result = self.wine.run(SETUP, "/S", *r"/D=C:\Tools\Vantrel Bridge".split(" "))
        self.assertEqual(result.returncode, 32, "moving away from a running program did not refuse")
        self.assertFalse(self.wine.exists(r"C:\Tools\Vantrel Bridge\Vantrel.exe"))

        # _?= runs the uninstaller in place, so its exit code is the outcome;
        # like /D= it must not be quoted (see install_to).
        result = self.wine.run(f"{DEFAULT_DIR}\\uninstall.exe", "/S", *f"_?={DEFAULT_DIR}".split(" "))
        self.assertEqual(result.returncode, 32, "uninstall of a running program did not refuse")
        self.assert_installed_in(DEFAULT_DIR)
        self.assert_store(expected)

        self.stop_program(program)
        self.install()
        self.assert_installed_in(DEFAULT_DIR)
        self.uninstall()
        self.assert_removed_from(DEFAULT_DIR)
        self.assert_store(expected)


class MsiTest(WineCase):
    def test_msi_fills_in_the_store_installs_the_service_on_request_and_uninstalls(self):
        msi = os.environ.get("VANTREL_MSI")
        self.assertTrue(msi and os.path.isfile(msi), f"VANTREL_MSI is not the MSI package: {msi!r}")
        package = harness.windows_path(msi)
        # Wine's msi puts a per-machine package's shortcut in the installing
        # user's Start menu (its ProgramMenuFolder ignores ALLUSERS); Windows
        # puts it in All Users' (SHORTCUT).
        appdata = self.wine.run("cmd", "/c", "echo", "%APPDATA%").stdout.strip()
        shortcut = appdata + r"\Microsoft\Windows\Start Menu\Programs\Vantrel.lnk"
        # What the user set stays as it is, whatever its type; what is
        # missing is filled in.
        self.set_value("Baud rate", "REG_DWORD", 115200)
        self.set_value("Parity", "REG_SZ", "odd")
        expected = dict(DEFAULT_STORE, **{"Baud rate": ("REG_DWORD", 115200), "Parity": ("REG_SZ", "odd")})

        for args, service in (((), False), (("SERVICE=1",), True)):
            result = self.wine.run("msiexec", "/i", package, "/qn", *args)
            self.assertEqual(result.returncode, 0, f"msiexec /i {args}: {result.stdout}{result.stderr}")
            self.assert_program_in(DEFAULT_DIR, shortcut, service)
            self.assert_store(expected)

        result = self.wine.run("msiexec", "/x", package, "/qn")
        self.assertEqual(result.returncode, 0, f"msiexec /x: {result.stdout}{result.stderr}")
        self.assert_removed_from(DEFAULT_DIR, shortcut)
        self.assert_store(expected)

        # Without its program too; PURGE=1 also takes the settings, logs and
        # traces.
        result = self.wine.run("msiexec", "/i", package, "/qn", "SERVICE=1")
        self.assertEqual(result.returncode, 0, f"msiexec /i: {result.stdout}{result.stderr}")
        self.write_logs()
        os.remove(self.wine.host_path(DEFAULT_DIR + r"\Vantrel.exe"))
        result = self.wine.run("msiexec", "/x", package, "/qn", "PURGE=1")
        self.assertEqual(result.returncode, 0, f"msiexec /x: {result.stdout}{result.stderr}")
        self.assert_removed_from(DEFAULT_DIR, shortcut)
        self.assertIsNone(self.wine.reg_query(STORE_KEY), "PURGE=1 left the settings store")
        self.assertFalse(self.wine.exists(LOG_FOLDER), "PURGE=1 left the logs and traces")


class ReleaseZipTest(unittest.TestCase):
    def test_zip_holds_exactly_the_release_files(self):
        path = os.environ.get("VANTREL_ZIP")
        if not path:
            self.skipTest("VANTREL_ZIP not set")
        readme = os.environ.get("VANTREL_README")
        expected = {"Vantrel.exe", "LICENSE"} | ({"README.md"} if readme else set())
        with zipfile.ZipFile(path) as archive:
            self.assertIsNone(archive.testzip())
            self.assertEqual(set(archive.namelist()), expected)
            license_text = archive.read("LICENSE").replace(b"\r\n", b"\n")
            self.assertIn(b"MIT License", license_text)
            exe = os.environ.get("VANTREL_EXE")
            if exe:
                with open(exe, "rb") as f:
                    self.assertTrue(archive.read("Vantrel.exe") == f.read(), "zipped Vantrel.exe differs")
            if readme:
                self.assertEqual(archive.read("README.md").replace(b"\r\n", b"\n"), text_of(readme))


if __name__ == "__main__":
    # A first argument naming an .exe is the setup program; the rest go to unittest.
    if len(sys.argv) > 1 and sys.argv[1].lower().endswith(".exe"):
        os.environ["VANTREL_SETUP"] = sys.argv.pop(1)
    unittest.main()

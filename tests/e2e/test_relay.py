"""The relay of the shipped Vantrel.exe between a pty-backed COM3 and the
stand-in VM's pipe: bulk traffic both ways at once, the counters and the
activity lamps, bytes held back by a full pipe or a device that does not
read, and a real ZMODEM peer (lrzsz) on both ends."""

import os
import select
import shutil
import subprocess
import threading
import time
import unittest

from harness import (CONNECTED, EXIT, LOOKING_FOR_PIPE, OK, PTY_STORE, RX_LAMP, SERIAL_RECEIVED,
                     SERIAL_SENT, START_TIMEOUT, TX_LAMP, E2ETestCase, HarnessError, parse_trace,
                     start_connected, wait_for, write_store)

# The status window's system menu, and the file name box of the Save As
# dialog (cmb13).
START_TRACE, STOP_TRACE, SAVE_AS_FILE_NAME = 0x10, 0x20, 1148

# Runs of the two byte values a text-minded relay would mangle, before the
# random part of every bulk payload.
EDGE_BYTES = b"\x00" * 300 + b"\xff" * 300 + b"\x00\xff" * 300 + b"\xff\x00\x00\xff" * 100


def wait_steady(what, read, hold=1.5, timeout=None):
    """The value read() settles on: unchanged for hold seconds."""
    state = {"value": read(), "since": time.monotonic()}

    def probe():
        value = read()
        now = time.monotonic()
        if value != state["value"]:
            state.update(value=value, since=now)
        return now - state["since"] >= hold, value
    return wait_for(f"{what} to settle", probe, timeout, interval=0.2)


def first_difference(got, expected):
    for index, (a, b) in enumerate(zip(got, expected)):
        if a != b:
            return index
    return min(len(got), len(expected))


class Background:
    """A call run on a thread; result() hands back its value or raises its error."""

    def __init__(self, function, *args, **kwargs):
        self._value = None
        self._error = None
        self._thread = threading.Thread(target=self._run, args=(function, args, kwargs),
                                        daemon=True)
        self._thread.start()

    def _run(self, function, args, kwargs):
        try:
            self._value = function(*args, **kwargs)
        except BaseException as error:  # handed to the test thread by result()
            self._error = error

    @property
    def running(self):
        return self._thread.is_alive()

    def result(self, timeout):
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise HarnessError(f"background call still running after {timeout:g} s")
        if self._error is not None:
            raise self._error
        return self._value


class BothWays:
    """to_device from the VM and to_vm from the device, all four ends busy at once."""

    def __init__(self, port, vm, to_device, to_vm, timeout):
        self.jobs = [
            Background(vm.send, to_device),
            Background(port.read_exactly, len(to_device), timeout),
            Background(port.write, to_vm, timeout),
            Background(vm.recv_exactly, len(to_vm), timeout),
        ]
        self.timeout = timeout

    @property
    def running(self):
        return any(job.running for job in self.jobs)

    def result(self):
        """(bytes the device got, bytes the VM got)."""
        values = [job.result(self.timeout + 30) for job in self.jobs]
        return values[1], values[3]


class DeviceEnd:
    """The device's end of COM3 for a protocol program: its own descriptor, so
    nothing else competes for the bytes."""

    def __init__(self, port):
        self.port = port
        self.fd = os.open(port.device_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

    def read_some(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return None
        try:
            return os.read(self.fd, 65536)
        except BlockingIOError:
            return None

    def write(self, data):
        self.port.write(data)

    def close(self):
        os.close(self.fd)


class VmEnd:
    def __init__(self, vm):
        self.vm = vm

    def read_some(self, timeout):
        ready, _, _ = select.select([self.vm.socket], [], [], timeout)
        if not ready:
            return None
        try:
            data = self.vm.socket.recv(65536)
        except (BlockingIOError, TimeoutError):
            return None
        if not data:
            raise HarnessError("the stand-in VM closed its socket")
        return data

    def write(self, data):
        self.vm.send(data)

    def close(self):
        pass


def run_attached(command, cwd, end, log_path, stop):
    """Starts a program whose standard input and output are joined to end."""
    log = open(log_path, "wb")
    process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=log, bufsize=0)
    log.close()

    def outward():
        while True:
            data = os.read(process.stdout.fileno(), 65536)
            if not data:
                return
            end.write(data)

    def inward():
        while not stop.is_set() and process.poll() is None:
            data = end.read_some(0.1)
            if data:
                try:
                    process.stdin.write(data)
                except (BrokenPipeError, ValueError):
                    return
    pumps = [Background(outward), Background(inward)]
    return process, pumps


class RelayTestCase(E2ETestCase):
    def assertSameBytes(self, got, expected, what):
        if got != expected:
            at = first_difference(got, expected)
            self.fail(f"{what}: {len(got)} bytes arrived for {len(expected)} sent; first "
                      f"difference at {at}: got {got[at:at + 16]!r}, expected "
                      f"{expected[at:at + 16]!r}")

    def assertNoRelayTrouble(self, vantrel):
        messages = vantrel.messages()
        for text in ("Bytes left behind", "Error writing to pipe", "Error writing to serial port",
                     "Error reading from", "discarded"):
            self.assertNotIn(text, messages)
        self.assertEqual(vantrel.status_line(), CONNECTED)


class BulkBothWays(RelayTestCase):
    def test_a_mebibyte_each_way_at_once_arrives_exact_counted_and_lit(self):
        port, vm, vantrel = start_connected(self.session, PTY_STORE)
        window = vantrel.status_window()

        # The VM writes 250 bytes at once; they wait in the pipe for the
        # relay's next poll, which takes them in several chunks.
        burst = os.urandom(250)
        vm.send(burst)
        self.assertSameBytes(port.read_exactly(len(burst)), burst, "250 bytes to the device")
        vantrel.wait_counters(250, 0, 0, 250)

        size = 1 << 20
        to_device = EDGE_BYTES + os.urandom(size - len(EDGE_BYTES))
        to_vm = EDGE_BYTES[::-1] + os.urandom(size - len(EDGE_BYTES))
        transfer = BothWays(port, vm, to_device, to_vm, timeout=240)
        # A lamp stays lit a while after its last chunk: a transfer that ends
        # between two looks still has its lamps seen while they are lit.
        lit, green, deadline = set(), True, time.monotonic() + 240
        while ((transfer.running or green) and lit != {RX_LAMP, TX_LAMP}
               and time.monotonic() < deadline):
            green = False
            for lamp in (RX_LAMP, TX_LAMP):
                if vantrel.indicator(lamp) == "green":
                    lit.add(lamp)
                    green = True
        if lit == {RX_LAMP, TX_LAMP}:
            self.screenshot("both-lamps-lit")
        got_device, got_vm = transfer.result()
        self.assertSameBytes(got_device, to_device, "1 MiB to the device")
        self.assertSameBytes(got_vm, to_vm, "1 MiB to the VM")
        self.assertEqual(lit, {RX_LAMP, TX_LAMP}, "lamps seen green while both directions ran")

        vantrel.wait_counters(250 + size, size, size, 250 + size)
        for lamp in (RX_LAMP, TX_LAMP):
            wait_for(f"lamp {lamp} to go grey once the bytes stopped",
                     lambda: (vantrel.indicator(lamp) == "grey", vantrel.indicator(lamp)))
        self.assertEqual(port.read_for(0.3), b"", "nothing more reaches the device")
        self.assertEqual(vm.recv_for(0.3), b"", "nothing more reaches the VM")
        self.assertNoRelayTrouble(vantrel)

        self.driver.click(window, EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)


class HeldBackAndProtocolPeer(RelayTestCase):
    def test_held_back_bytes_wait_and_zmodem_gets_files_through_both_ways(self):
        port, vm, vantrel = start_connected(self.session, PTY_STORE)

        # The device stops reading: the relay waits in its COM-port write
        # instead of dropping what the VM sends meanwhile.
        to_device = EDGE_BYTES + os.urandom(128 * 1024)
        sender = Background(vm.send, to_device)
        held = int(wait_steady("serial sent while the device does not read",
                               lambda: vantrel.field(SERIAL_SENT)))
        self.assertLess(held, len(to_device), "the device's full buffer held the relay back")
        self.assertSameBytes(port.read_exactly(len(to_device), timeout=120), to_device,
                             "bytes held back by the device")
        sender.result(30)

        # The VM stops reading its pipe: the pipe fills, the relay stops
        # reading COM3, and the device's own writes block.
        pipe_to_vm_before, _ = vm.stats()
        vm.pause()
        to_vm = EDGE_BYTES + os.urandom(128 * 1024)
        writer = Background(port.write, to_vm, 240)
        taken = int(wait_steady("serial received while the VM does not read",
                                lambda: vantrel.field(SERIAL_RECEIVED)))
        self.assertGreater(taken, 0)
        self.assertEqual(vm.recv_for(2.0), b"", "nothing reaches a VM that does not read")
        self.assertEqual(vm.stats()[0], pipe_to_vm_before, "the paused VM read nothing")
        self.assertTrue(writer.running, "the device's writes wait while the pipe is full")
        vm.resume()
        self.assertSameBytes(vm.recv_exactly(len(to_vm), timeout=240), to_vm,
                             "bytes held in a full pipe")
        writer.result(30)
        self.assertEqual(vm.stats()[0] - pipe_to_vm_before, len(to_vm))
        vantrel.wait_counters(len(to_device), len(to_vm), len(to_vm), len(to_device))
        self.assertNoRelayTrouble(vantrel)

        self.zmodem("device", "vm", port, vm)
        self.zmodem("vm", "device", port, vm)
        self.assertNoRelayTrouble(vantrel)
        self.driver.click(vantrel.status_window(), EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)

    def zmodem(self, sender, receiver, port, vm):
        """sz on one end sends a file, rz on the other receives it."""
        work = self.session.root / f"zmodem-{sender}-to-{receiver}"
        for side in (sender, receiver):
            (work / side).mkdir(parents=True)
        name = f"from-{sender}.bin"
        original = os.urandom(64 * 1024)
        (work / sender / name).write_bytes(original)
        ends = {"device": DeviceEnd(port), "vm": VmEnd(vm)}
        stop = threading.Event()
        try:
            sz, sz_pumps = run_attached(["sz", "-b", name], work / sender, ends[sender],
                                        self.artifacts / f"sz-{sender}.log", stop)
            rz, rz_pumps = run_attached(["rz", "-b"], work / receiver, ends[receiver],
                                        self.artifacts / f"rz-{receiver}.log", stop)
            try:
                codes = (sz.wait(180), rz.wait(180))
            except subprocess.TimeoutExpired:
                codes = None
            stop.set()
            for process in (sz, rz):
                if process.poll() is None:
                    process.kill()
                    process.wait()
            for pump in sz_pumps + rz_pumps:
                try:
                    pump.result(30)
                except (OSError, HarnessError):
                    pass  # a program that ended closed its end first
            for process in (sz, rz):
                process.stdin.close()
                process.stdout.close()
        finally:
            for end in ends.values():
                end.close()
        self.assertEqual(codes, (0, 0), f"sz and rz exit codes, {sender} to {receiver}; "
                                        f"see sz-{sender}.log and rz-{receiver}.log")
        received = work / receiver / name
        self.assertTrue(received.is_file(), f"rz on the {receiver} side wrote {name}")
        self.assertSameBytes(received.read_bytes(), original, f"ZMODEM {sender} to {receiver}")
        shutil.rmtree(work, ignore_errors=True)


class Trace(RelayTestCase):
    def start_tracing(self, path, port=None):
        write_store(self.driver, PTY_STORE)
        port, vm = port or self.session.com_port("COM3"), self.session.vm("Vantrel")
        vantrel = self.session.vantrel(args=("--trace", path))
        vantrel.wait_status_line(CONNECTED, timeout=START_TIMEOUT)
        vm.wait_client()
        return port, vm, vantrel

    def test_the_bytes_each_way_read_back_from_the_trace_and_a_full_disk_ends_only_the_trace(self):
        port, vm, vantrel = self.start_tracing("C:\\trace.txt")
        trace_file = self.session.prefix / "drive_c" / "trace.txt"
        to_device = EDGE_BYTES + os.urandom(64 * 1024)
        to_vm = EDGE_BYTES[::-1] + os.urandom(64 * 1024)
        got_device, got_vm = BothWays(port, vm, to_device, to_vm, timeout=120).result()
        self.assertSameBytes(got_device, to_device, "to the device")
        self.assertSameBytes(got_vm, to_vm, "to the VM")
        vantrel.wait_counters(len(to_device), len(to_vm), len(to_vm), len(to_device))
        vm.kill()
        vantrel.wait_status_line(LOOKING_FOR_PIPE)

        def traced():
            try:
                ways, events = parse_trace(trace_file.read_bytes().decode("utf-8"))
            except (AssertionError, IndexError, OSError) as unfinished:
                return False, str(unfinished)[:300]
            return any(e.startswith("Lost the virtual machine's pipe") for e in events), events
        events = wait_for("the trace to reach the loss of the pipe", traced)
        ways, _ = parse_trace(trace_file.read_bytes().decode("utf-8"))
        self.assertSameBytes(ways["VM -> device"], to_device, "the trace of VM -> device")
        self.assertSameBytes(ways["device -> VM"], to_vm, "the trace of device -> VM")
        self.assertEqual(events[0], "Trace started")

        # From the system menu: "Stop trace", then "Start trace..." into the
        # file the standard Save As dialog is given.
        window = vantrel.status_window()
        self.driver.syscommand(window, STOP_TRACE)
        vantrel.wait_messages_contain("The trace to C:\\trace.txt stopped")
        self.driver.syscommand(window, START_TRACE)
        save_as = vantrel.wait_window("Start trace")
        self.driver.set_text(save_as, SAVE_AS_FILE_NAME, "C:\\menu-trace.txt")
        self.driver.click(save_as, OK)
        vantrel.wait_messages_contain("Tracing the bytes of each way to C:\\menu-trace.txt")
        self.driver.click(window, EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)
        _, events = parse_trace((self.session.prefix / "drive_c" / "menu-trace.txt")
                                .read_bytes().decode("utf-8"))
        self.assertEqual(events, ["Trace started", "Trace stopped"])

        # A disk with no room from the first write: the trace ends with one
        # entry, the bytes go on.
        port, vm, vantrel = self.start_tracing("Z:\\dev\\full", port)
        vantrel.wait_messages_contain("The trace to Z:\\dev\\full stopped: it could not be written")
        got_device, got_vm = BothWays(port, vm, b"still\x00", b"flowing\xff", timeout=60).result()
        self.assertEqual((got_device, got_vm), (b"still\x00", b"flowing\xff"))
        self.assertEqual(vantrel.messages().count("The trace to"), 1)
        self.assertNoRelayTrouble(vantrel)


if __name__ == "__main__":
    unittest.main()

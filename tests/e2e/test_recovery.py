"""Vantrel.exe keeps relaying across the stand-in VM's restarts and COM3's
removal: what the status line and the Messages pane say, byte-exact traffic
afterwards, a program that stays a pipe client, and a spell of waiting for a
missing end that adds no log lines. (What waiting costs in processor time is
measured by scripts/bench.sh.)"""

import os
import re
import select
import termios
import threading
import time
import tty
import unittest

from harness import (CONNECTED, EXIT, LOOKING_FOR_PIPE, NO_VM_HAS_PIPE, PTY_STORE, SERIAL_LOST,
                     SERIAL_RECEIVED, SERIAL_SENT, VIRTUAL_RECEIVED, E2ETestCase, HarnessError,
                     start_connected, wait_for)
from test_relay import Background, BothWays, first_difference, wait_steady

PIPE_DISCARDED = re.compile(
    r"(\d+) bytes from the serial port were discarded while the pipe was away")
SERIAL_DISCARDED = re.compile(
    r"(\d+) bytes from the pipe were discarded while the serial port was away")
# The program looks for a missing end every 5 s.
RETRY_PERIOD = 5
# A returning end is in use again within one period plus the time to open it;
# the deadline leaves a busy machine room for a few.
RETURN_DEADLINE = 4 * RETRY_PERIOD
# A spell without an end: four retries, so that an entry logged at each of
# them would show.
AWAY_SECONDS = 4 * RETRY_PERIOD


class Traffic:
    """Bytes flowing from the VM to the device, from the device to the VM, or
    both, with each far end reading what comes, until stop(). An end that goes
    away ends its own streams quietly."""

    def __init__(self, port, vm, device=True, virtual_machine=True):
        self.port = port
        self.vm = vm
        self.received = {}
        self._stop = threading.Event()
        self._threads = []
        if device:
            self._start("device", self._device_writes, self._device_reads)
        if virtual_machine:
            self._start("vm", self._vm_writes, self._vm_reads)

    def _start(self, reader_end, *targets):
        self.received[reader_end] = 0
        for target in targets:
            thread = threading.Thread(target=target, daemon=True)
            thread.start()
            self._threads.append(thread)

    def _device_writes(self):
        while not self._stop.is_set():
            try:
                self.port.write(b"device says " * 8, timeout=2)
            except (HarnessError, OSError):
                pass  # nobody read it in time; try again until stopped

    def _device_reads(self):
        while not self._stop.is_set():
            self.received["device"] += len(self.port.read_for(0.1))

    def _vm_writes(self):
        while not self._stop.is_set():
            try:
                self.vm.send(b"vm says " * 8)
            except OSError:
                return  # the VM is gone

    def _vm_reads(self):
        sock = self.vm.socket
        while not self._stop.is_set():
            try:
                ready, _, _ = select.select([sock], [], [], 0.1)
                if ready:
                    data = sock.recv(65536)
                    if not data:
                        return
                    self.received["vm"] += len(data)
            except (BlockingIOError, TimeoutError):
                pass
            except (OSError, ValueError):
                return

    def wait_flowing(self):
        start = dict(self.received)
        wait_for("bytes to flow", lambda: (all(self.received[end] > start[end] + 1000
                                               for end in start), dict(self.received)))

    def stop(self):
        self._stop.set()
        for thread in self._threads:
            thread.join(30)


class RecoveryTestCase(E2ETestCase):
    def hold(self, check, seconds):
        """A spell of seconds in which check() holds throughout: it is run every
        quarter second and its assertions fail the test at once."""
        deadline = time.monotonic() + seconds
        while True:
            check()
            if time.monotonic() >= deadline:
                return
            threading.Event().wait(0.25)

    def assertPipeStaysAbsent(self, vantrel, seconds):
        """Vantrel looks for the pipe but never creates one of its own, which
        the VM would then take for a server and never recover from."""
        def check():
            self.assertEqual(self.driver.pipe_state("Vantrel"), "absent",
                             "a pipe named Vantrel exists while the VM is away")
            self.assertEqual(vantrel.status_line(), LOOKING_FOR_PIPE)
        self.hold(check, seconds)

    def assertExactBothWays(self, port, vm, size=32 * 1024):
        # Whatever was still under way before the outage is no concern of
        # the check that follows.
        port.read_for(0.5)
        vm.recv_for(0.5)
        to_device = os.urandom(size)
        to_vm = os.urandom(size)
        got_device, got_vm = BothWays(port, vm, to_device, to_vm, timeout=120).result()
        for what, got, sent in (("to the device", got_device, to_device),
                                ("to the VM", got_vm, to_vm)):
            if got != sent:
                at = first_difference(got, sent)
                self.fail(f"bytes {what} differ at {at} of {len(sent)}: got {got[at:at + 16]!r}, "
                          f"expected {sent[at:at + 16]!r}")

    def line_count(self, vantrel):
        return len(vantrel.messages().splitlines())


class LinkRecovery(RecoveryTestCase):
    """The VM restarts three times under traffic; the port is pulled, stays
    away, comes back, and the program is ended while it is away again."""

    def test_three_vm_restarts_each_recover_byte_exact_and_are_logged_once(self):
        port, vm, vantrel = start_connected(self.session, PTY_STORE)
        discard_floor = 2000
        for _ in range(3):
            traffic = Traffic(port, vm)
            traffic.wait_flowing()
            vm.kill()
            vantrel.wait_status_line(LOOKING_FOR_PIPE)
            traffic.stop()
            # The device goes on talking into the void; the relay drops it.
            port.write(b"x" * discard_floor)
            # Longer than one retry period: the program looks for the pipe
            # at least once meanwhile, and the same failure reported again
            # after 10 s is no longer held back as a repeat.
            self.assertPipeStaysAbsent(vantrel, RETRY_PERIOD + 1)

            vm = self.session.vm("Vantrel")
            vantrel.wait_status_line(CONNECTED, timeout=RETURN_DEADLINE)
            vm.wait_client()
            self.assertExactBothWays(port, vm)

        messages = vantrel.messages()
        # Each loss is logged by whichever relay thread met it: the pipe's
        # reader, or (when the reader was held up writing to the busy
        # device) the thread writing to the pipe; at most once by each.
        reading = messages.count("Error reading from pipe: ")
        writing = messages.count("Error writing to pipe: ")
        self.assertLessEqual(reading, 3, messages)
        self.assertLessEqual(writing, 3, messages)
        self.assertGreaterEqual(reading + writing, 3, messages)
        self.assertEqual(messages.count("Lost the virtual machine's pipe"), 3, messages)
        self.assertEqual(messages.count("Waiting for Hyper-V pipe"), 4, messages)
        self.assertEqual(messages.count("Connected to pipe"), 4, messages)
        discarded = [int(n) for n in PIPE_DISCARDED.findall(messages)]
        self.assertEqual(len(discarded), 3, messages)
        for count in discarded:
            self.assertGreaterEqual(count, discard_floor, messages)
        self.assertNotIn("Bytes left behind", messages)

    def test_port_pulled_a_while_and_back_and_exit_while_it_is_away(self):
        port, vm, vantrel = start_connected(self.session, PTY_STORE)
        traffic = Traffic(port, vm)
        traffic.wait_flowing()
        # The device's own streams end first: the harness closes their
        # descriptor when it pulls the port.
        traffic.stop()
        traffic = Traffic(port, vm, device=False)
        port.unplug()
        vantrel.wait_status_line(SERIAL_LOST)
        traffic.stop()
        wait_for("the loss to be logged",
                 lambda: ("Serial port COM3 lost" in vantrel.messages(), None))

        # Bytes from the VM meanwhile have nowhere to go and are counted as
        # dropped. What the VM's stream left queued is dropped first, so that
        # the spell below is one of waiting.
        vm.send(b"v" * 1000)
        wait_steady("virtual received while the port is away",
                    lambda: vantrel.field(VIRTUAL_RECEIVED))
        lines = self.line_count(vantrel)

        def check():
            self.assertEqual(vantrel.status_line(), SERIAL_LOST)
            self.assertNotIn("pipe-client-gone", vm.output.lines,
                             "the pipe stays connected while the port is away")
        self.hold(check, AWAY_SECONDS)
        # Fewer than the retries made: the wait is logged once, not each time.
        self.assertLessEqual(self.line_count(vantrel), lines + 1, vantrel.messages())

        port.plug()
        vantrel.wait_status_line(CONNECTED, timeout=RETURN_DEADLINE)
        self.assertExactBothWays(port, vm)

        messages = vantrel.messages()
        self.assertEqual(messages.count("Serial port COM3 lost"), 1, messages)
        self.assertEqual(messages.count("Serial port COM3 is back"), 1, messages)
        discarded = [int(n) for n in SERIAL_DISCARDED.findall(messages)]
        self.assertEqual(len(discarded), 1, messages)
        self.assertGreaterEqual(discarded[0], 1000, messages)
        self.assertNotIn("pipe-client-gone", vm.output.lines)

        # Exit works while an end is away.
        port.unplug()
        vantrel.wait_status_line(SERIAL_LOST)
        self.driver.click(vantrel.status_window(), EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)


class HeldPty:
    """COM3 on a plain pty whose device end the test holds. In the harness's
    socat pair a device that does not read can stall its own writes too
    (socat blocks writing towards it); here the two directions are
    independent, as on a real line whose device holds its output."""

    def __init__(self, session):
        self.fd, slave = os.openpty()
        tty.setraw(slave)
        attributes = termios.tcgetattr(slave)
        attributes[3] &= ~termios.ECHO
        termios.tcsetattr(slave, termios.TCSANOW, attributes)
        os.set_blocking(self.fd, False)
        # The slave stays open here too, so the pty lives for the whole test.
        self._slave = slave
        self.link = session.prefix / "dosdevices" / "com3"
        self.link.symlink_to(os.ttyname(slave))
        session.add_closer(self.close)

    def write(self, data):
        """What the device sends; raises BlockingIOError while its line is full."""
        os.write(self.fd, data)

    def close(self):
        if self.link.is_symlink():
            self.link.unlink()
        for fd in (self.fd, self._slave):
            os.close(fd)


def keep_writing(write, stop):
    """Writes through write() until stop is set; an end that is full or gone
    just takes nothing."""
    while not stop.is_set():
        try:
            write()
        except (HarnessError, OSError):
            stop.wait(0.01)


class VmShutsDownAtRest(RecoveryTestCase):
    def test_one_read_error_then_a_quiet_wait_without_a_pipe_until_the_vm_is_back(self):
        port, vm, vantrel = start_connected(self.session, PTY_STORE)
        vm.kill()
        vantrel.wait_status_line(LOOKING_FOR_PIPE, timeout=RETURN_DEADLINE)
        # With the one entry saying whose the pipe is (the stand-in Hyper-V has no VMs).
        wait_for("the loss to be logged",
                 lambda: (all(entry in vantrel.messages().rsplit(
                     "Lost the virtual machine's pipe", 1)[-1] for entry in (
                         "Waiting for Hyper-V pipe", NO_VM_HAS_PIPE.format("Vantrel"))),
                          vantrel.messages()))
        messages = vantrel.messages()
        self.assertEqual(messages.count("Error reading from pipe: "), 1, messages)
        self.assertNotIn("Error writing to pipe: ", messages)
        self.assertEqual(messages.count("Lost the virtual machine's pipe"), 1, messages)

        # The wait is logged once, not at each retry, and no pipe of that
        # name appears meanwhile.
        lines = self.line_count(vantrel)
        self.assertPipeStaysAbsent(vantrel, AWAY_SECONDS)
        self.assertLessEqual(self.line_count(vantrel), lines + 1, vantrel.messages())

        vm = self.session.vm("Vantrel")
        vantrel.wait_status_line(CONNECTED, timeout=RETURN_DEADLINE)
        vm.wait_client()
        self.assertExactBothWays(port, vm)


class EndLostWhileItsReaderWaits(E2ETestCase):
    """An end can fail while the thread that reads it waits on the other end;
    the failure of a write to it must be noticed all the same."""

    def test_vm_gone_while_the_device_holds_its_output_is_noticed(self):
        device = HeldPty(self.session)
        _, vm, vantrel = start_connected(self.session, PTY_STORE, port=device)
        # The device stops reading: the relay's pipe reader waits in its
        # COM-port write, while the device still talks to the VM.
        to_device = os.urandom(256 * 1024)
        Background(vm.send, to_device)
        held = int(wait_steady("serial sent while the device does not read",
                               lambda: vantrel.field(SERIAL_SENT)))
        self.assertLess(held, len(to_device))
        stop = threading.Event()
        writer = Background(keep_writing, lambda: device.write(b"device " * 10), stop)
        self.addCleanup(writer.result, 30)
        self.addCleanup(stop.set)
        wait_for("the device's bytes to reach the relay",
                 lambda: (int(vantrel.field(SERIAL_RECEIVED)) > 0, vantrel.field(SERIAL_RECEIVED)))
        vm.kill()
        vantrel.wait_status_line(LOOKING_FOR_PIPE, timeout=RETURN_DEADLINE)
        vantrel.wait_messages_contain("Lost the virtual machine's pipe")

    def test_port_gone_while_the_vm_holds_its_input_is_noticed(self):
        port, vm, vantrel = start_connected(self.session, PTY_STORE)
        # The VM stops reading: the relay's COM-port reader waits in its pipe
        # write, while the VM still talks to the device.
        vm.pause()
        device = os.open(port.device_path, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK)
        self.addCleanup(os.close, device)
        filler = os.urandom(64 * 1024)
        device_stop, vm_stop = threading.Event(), threading.Event()
        device_writer = Background(keep_writing, lambda: os.write(device, filler), device_stop)
        self.addCleanup(device_writer.result, 30)
        self.addCleanup(device_stop.set)
        taken = int(wait_steady("serial received while the VM does not read",
                                lambda: vantrel.field(SERIAL_RECEIVED)))
        self.assertGreater(taken, 0)
        vm_writer = Background(keep_writing, lambda: vm.send(b"vm " * 30), vm_stop)
        self.addCleanup(vm_writer.result, 60)
        self.addCleanup(vm_stop.set)
        wait_for("the VM's bytes to reach the device",
                 lambda: (int(vantrel.field(SERIAL_SENT)) > 0, vantrel.field(SERIAL_SENT)))
        # The device's writer ends before its end of the pty goes away.
        device_stop.set()
        device_writer.result(30)
        port.unplug()
        vantrel.wait_status_line(SERIAL_LOST, timeout=RETURN_DEADLINE)
        vantrel.wait_messages_contain("Serial port COM3 lost")


if __name__ == "__main__":
    unittest.main()

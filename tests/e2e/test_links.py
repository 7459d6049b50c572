"""The two links of the shipped Vantrel.exe, end to end: the COM port and the
virtual machine's pipe, opened with the stored settings, and the connection
failure dialog through which a user retries, changes the configuration or
gives up while either is missing."""

import os
import re
import termios
import time
import unittest

from harness import (ADMIN_REQUIRED, ADMIN_REQUIRED_CAPTION, CANCEL, CHANGE_CONFIGURATION,
                     CONNECTED, DEFAULT_STORE, DEFAULT_TIMEOUT, EXIT, FAILURE_DIALOG, FAILURE_EXIT,
                     FAILURE_MESSAGE, LINE_FIELDS, LOG_PREFIX, LOOKING_FOR_PIPE, NO_VM_HAS_PIPE, OK,
                     PIPE_FAILURE, PIPE_NAME_FIELD, RETRY, SAVE_CHANGES, SAVE_CHANGES_CAPTION,
                     SERIAL_FAILURE,
                     SERIAL_PORT_FIELD, SET_PIPE_NAME, SETTINGS_DIALOG, SETTINGS_SAVED_CAPTION,
                     START_TIMEOUT, STARTING_UP, VANTREL_KEY, WAITING_FOR_CONNECTION,
                     E2ETestCase, HarnessError, start_connected, store_with, wait_for,
                     write_store)

# The program's pause before it looks for the pipe again. A check holds a
# pause to at least this, less a little for the clocks (a busy machine can
# only lengthen it), never to at most.
RETRY_PAUSE = 5.0

PORT_OPEN = "Connecting to serial port ... OK!\r\n"
PORT_MISSING = "Connecting to serial port ...\r\n"
# What a failed open lists: the ports Wine itself knows (a pty mapped by the
# harness is a bare link in the device folder, which Windows does not list).
PORTS_PRESENT = re.compile(r"(COM ports present: COM\d+(, COM\d+)*|No COM ports present)\r\n")
PORT_READY = "Serial port setup complete\r\n"
WAITING = "Waiting for Hyper-V pipe\r\n"
PIPE_FOUND = "Pipe found, creating connection...\n"
PIPE_CONNECTED = "Connected to pipe\r\n"
NO_VM = NO_VM_HAS_PIPE.format("Vantrel")


def log_entries(pane):
    """The Messages pane cut at its time-stamp prefixes: the text of each entry."""
    pieces = re.split(LOG_PREFIX, pane)
    if pieces[0] != "":
        raise AssertionError(f"the pane does not begin with a time-stamp prefix: {pane!r}")
    return pieces[1:]


class LinkTestCase(E2ETestCase):

    def entries(self, vantrel):
        return log_entries(vantrel.messages())

    def wait_failure_dialog(self, vantrel, replacing=None, timeout=None):
        """A failure dialog other than the one given; with the time it was first seen."""
        def probe():
            hwnd = self.driver.find_window(vantrel.pid, FAILURE_DIALOG)
            if hwnd is None:
                code = self.driver.exit_code(vantrel.pid)
                if code is not None:
                    raise HarnessError(f"Vantrel ended with exit code {code} instead of showing "
                                       f"the failure dialog")
            return hwnd is not None and hwnd != replacing, hwnd
        hwnd = wait_for("a new connection failure dialog", probe, timeout, interval=0.02)
        return hwnd, time.monotonic()

    def failure_text(self, dialog):
        return self.driver.text(dialog, FAILURE_MESSAGE)

    def retry_pipe(self, vantrel, dialog):
        """Presses Retry in the pipe variant; the next dialog and the seconds it
        took to come."""
        pressed = time.monotonic()
        self.driver.click(dialog, RETRY)
        nxt, seen = self.wait_failure_dialog(vantrel, replacing=dialog,
                                             timeout=DEFAULT_TIMEOUT + RETRY_PAUSE)
        return nxt, seen - pressed


class LinksComeUp(LinkTestCase):
    """COM port and virtual machine both there from the start."""

    def test_stored_line_settings_reach_the_port_and_the_log_tells_each_step(self):
        port, _, vantrel = start_connected(
            self.session, store_with(**{"Baud rate": 115200, "Stop bits": 2, "Flow control": 2}))
        self.screenshot("connected")
        self.assertEqual(self.entries(vantrel),
                         [STARTING_UP, PORT_OPEN, PORT_READY, WAITING, PIPE_FOUND, PIPE_CONNECTED])
        self.assertEqual([vantrel.field(c) for c in LINE_FIELDS],
                         ["COM3", "Vantrel", "115200", "NONE", "8", "2", "XON/XOFF"])

        # The line as Linux sees it on the program's end of the pty; a pty
        # keeps its rate and stop bits, but forces 8 data bits and no parity.
        fd = os.open(port.host_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            iflag, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(fd)
        finally:
            os.close(fd)
        self.assertEqual((ispeed, ospeed), (termios.B115200, termios.B115200))
        self.assertTrue(cflag & termios.CSTOPB, "two stop bits")
        self.assertEqual((bool(iflag & termios.IXON), bool(iflag & termios.IXOFF),
                          bool(cflag & termios.CRTSCTS)), (True, True, False),
                         "software flow control both ways, no hardware flow control")

        self.driver.click(vantrel.status_window(), EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)

    def connect_with(self, pipe="Vantrel", port="COM3"):
        driver = self.driver
        write_store(driver, store_with(**{"Pipe name": pipe, "Serial port": port}))
        device = self.session.com_port(port)
        vm = self.session.vm(pipe)
        # The stand-in's name came through Wine's command line; make sure it is
        # the one Vantrel is meant to find before blaming Vantrel.
        self.assertEqual(driver.pipe_state(pipe), "available")
        vantrel = self.session.vantrel()

        vantrel.wait_status_line(CONNECTED, timeout=START_TIMEOUT)
        vm.wait_client()
        self.assertIsNone(driver.find_window(vantrel.pid, FAILURE_DIALOG))
        self.assertEqual(self.entries(vantrel).count(WAITING), 1, "found at the first attempt")
        self.assertEqual(vantrel.field(PIPE_NAME_FIELD), pipe)
        self.assertEqual(vantrel.field(SERIAL_PORT_FIELD), port, "shown as stored")
        # Bytes pass both ways: the ends opened are the stand-in's pipe of
        # that name and the pty mapped under that port's name.
        vm.send(b"ping \x00\xff")
        self.assertEqual(device.read_exactly(7), b"ping \x00\xff")
        device.write(b"pong")
        self.assertEqual(vm.recv_exactly(4), b"pong")

    def test_a_pipe_name_of_forty_characters_connects(self):
        name = "Orbenwick-Bench-7-COM2-serial-line-relay"
        self.assertEqual(len(name), 40)
        self.connect_with(pipe=name)

    def test_a_pipe_name_with_characters_outside_ascii_connects(self):
        self.connect_with(pipe="Prüfstand-Δ")

    def test_a_port_above_com9_opens_by_the_name_users_write(self):
        self.connect_with(port="COM12")


class MissingComPort(LinkTestCase):
    """The configured COM port is not there: the serial variant of the dialog."""

    def test_retry_and_enter_bring_the_dialog_back_and_exit_looks_for_no_pipe(self):
        driver = self.driver
        write_store(driver, store_with(**{"Serial port": "COM8"}))
        self.session.com_port("COM8", plugged=False)
        vm = self.session.vm("Vantrel")
        vantrel = self.session.vantrel()

        vantrel.status_window()
        dialog, _ = self.wait_failure_dialog(vantrel, timeout=START_TIMEOUT)
        self.assertEqual(self.failure_text(dialog), SERIAL_FAILURE.format("COM8"))
        pane = vantrel.messages()
        entries = log_entries(pane)
        self.assertEqual(entries[:2], [STARTING_UP, PORT_MISSING])
        self.assertRegex(entries[2], PORTS_PRESENT, "the ports this host has, once")
        self.assertNotIn("COM8", entries[2])
        self.assertEqual(len(entries), 3)

        # A port still missing brings a new dialog (without the pipe's pause:
        # see MissingPipe) and logs nothing more.
        for press in (lambda d: driver.click(d, RETRY), lambda d: driver.key(d, "enter")):
            press(dialog)
            dialog, _ = self.wait_failure_dialog(vantrel, replacing=dialog)
            self.assertEqual(self.failure_text(dialog), SERIAL_FAILURE.format("COM8"))
            self.assertEqual(vantrel.messages(), pane)
        self.assertEqual(vantrel.status_line(), WAITING_FOR_CONNECTION)

        driver.click(dialog, FAILURE_EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)
        self.assertNotIn("pipe-client-connected", vm.output.lines)
        self.assertEqual(driver.pipe_state("Vantrel"), "available")


class MissingPipe(LinkTestCase):
    """The COM port comes late and the virtual machine later still."""

    def test_port_plugged_in_then_pipe_waited_for_until_the_vm_runs(self):
        driver = self.driver
        write_store(driver, store_with(**{"Serial port": "COM8"}))
        port = self.session.com_port("COM8", plugged=False)
        vantrel = self.session.vantrel()

        vantrel.status_window()
        dialog, _ = self.wait_failure_dialog(vantrel, timeout=START_TIMEOUT)
        self.assertEqual(self.failure_text(dialog), SERIAL_FAILURE.format("COM8"))
        # A retry while the port is missing: the control for the pipe's
        # retry below, which pauses where this one does not.
        pressed = time.monotonic()
        driver.click(dialog, RETRY)
        dialog, seen = self.wait_failure_dialog(vantrel, replacing=dialog)
        serial_retry = seen - pressed
        self.assertEqual(self.failure_text(dialog), SERIAL_FAILURE.format("COM8"))
        port.plug()
        driver.click(dialog, RETRY)

        dialog, _ = self.wait_failure_dialog(vantrel, replacing=dialog)
        self.assertEqual(self.failure_text(dialog), PIPE_FAILURE.format("Vantrel"))
        self.assertEqual(vantrel.status_line(), LOOKING_FOR_PIPE)
        # The line the missing port left open ends; the open is a line of its own.
        self.assertEqual(self.entries(vantrel)[:2], [STARTING_UP, PORT_MISSING])
        # Hyper-V (the stand-in, with no VMs) is asked once whose the pipe is.
        vantrel.wait_messages_contain(NO_VM)
        self.assertEqual(self.entries(vantrel)[3:], [PORT_OPEN, PORT_READY, WAITING, NO_VM])
        # Vantrel is a client only: it never offers the pipe it waits for.
        self.assertEqual(driver.pipe_state("Vantrel"), "absent")
        # The port stays open, and unpurged, while the pipe is waited for:
        # what the device says meanwhile reaches the virtual machine later.
        early = b"said while waiting\x00\r\n"
        port.write(early)

        dialog, pause = self.retry_pipe(vantrel, dialog)
        self.assertGreaterEqual(pause, RETRY_PAUSE - 0.2)
        # Compared with the serial retry measured in this run, with half the
        # pause to spare, so that a slow machine does not change the verdict.
        self.assertLess(serial_retry, pause - RETRY_PAUSE / 2,
                        "the serial retry comes back at once, the pipe's after its pause")
        self.assertEqual(self.entries(vantrel)[3:], [PORT_OPEN, PORT_READY, WAITING, NO_VM, WAITING])
        self.assertEqual(self.failure_text(dialog), PIPE_FAILURE.format("Vantrel"))
        self.assertEqual(driver.pipe_state("Vantrel"), "absent")

        vm = self.session.vm("Vantrel")
        driver.click(dialog, RETRY)
        vantrel.wait_status_line(CONNECTED, timeout=DEFAULT_TIMEOUT + RETRY_PAUSE)
        vm.wait_client()
        self.assertEqual(self.entries(vantrel)[3:],
                         [PORT_OPEN, PORT_READY, WAITING, NO_VM, WAITING, WAITING, PIPE_FOUND,
                          PIPE_CONNECTED])
        self.assertEqual(vantrel.field(SERIAL_PORT_FIELD), "COM8")
        self.assertEqual(vm.recv_exactly(len(early)), early)
        self.assertIsNone(driver.find_window(vantrel.pid, FAILURE_DIALOG))


class NonAdministratorInTheFailureDialog(LinkTestCase):
    """A user without administrator rights may retry or leave, nothing else."""

    def test_change_configuration_escape_and_close_box_are_refused(self):
        driver = self.driver
        write_store(driver, DEFAULT_STORE)
        self.session.com_port("COM3")
        vantrel = self.session.vantrel(restricted=True)
        self.assertFalse(driver.is_admin(vantrel.pid))

        vantrel.status_window()
        dialog, _ = self.wait_failure_dialog(vantrel, timeout=START_TIMEOUT)
        self.assertEqual(self.failure_text(dialog), PIPE_FAILURE.format("Vantrel"))
        for way, press in (("Change configuration", lambda: driver.click(dialog, CHANGE_CONFIGURATION)),
                           ("Escape", lambda: driver.key(dialog, "escape")),
                           ("the close box", lambda: driver.sys_close(dialog))):
            with self.subTest(way=way):
                press()
                refusal = vantrel.wait_box(ADMIN_REQUIRED_CAPTION)
                self.assertEqual(refusal.text, ADMIN_REQUIRED)
                vantrel.press_box(refusal, OK)
                self.assertEqual(driver.find_window(vantrel.pid, FAILURE_DIALOG), dialog)
                self.assertIsNone(driver.find_window(vantrel.pid, SETTINGS_DIALOG))
                self.assertEqual(self.entries(vantrel).count(WAITING), 1, "no retry")
        self.assertEqual(driver.reg_query(VANTREL_KEY, "Pipe name"), ("REG_SZ", "Vantrel"))

        dialog, pause = self.retry_pipe(vantrel, dialog)
        self.assertGreaterEqual(pause, RETRY_PAUSE - 0.2)
        self.assertEqual(self.entries(vantrel).count(WAITING), 2)
        driver.click(dialog, FAILURE_EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)


class AdministratorChangesThePipe(LinkTestCase):
    """Change configuration opens the settings dialog; what is saved is used next."""

    def test_cancel_keeps_the_name_and_a_saved_name_is_connected_to(self):
        driver = self.driver
        write_store(driver, DEFAULT_STORE)
        self.session.com_port("COM3")
        vm = self.session.vm("Bench-7")
        vantrel = self.session.vantrel()
        self.assertTrue(driver.is_admin(vantrel.pid))

        vantrel.status_window()
        dialog, _ = self.wait_failure_dialog(vantrel, timeout=START_TIMEOUT)
        self.assertEqual(self.failure_text(dialog), PIPE_FAILURE.format("Vantrel"))
        # Whose the pipe is, asked once while the dialog is up, comes first.
        vantrel.wait_messages_contain(NO_VM)

        # An edit that is cancelled is lost: the retry looks for the old name.
        driver.click(dialog, CHANGE_CONFIGURATION)
        settings = vantrel.wait_window(SETTINGS_DIALOG)
        self.assertEqual(driver.text(settings, SET_PIPE_NAME), "Vantrel")
        driver.set_text(settings, SET_PIPE_NAME, "Bench-7")
        pressed = time.monotonic()
        driver.click(settings, CANCEL)
        vantrel.press_box(vantrel.wait_box(SAVE_CHANGES_CAPTION), OK)
        vantrel.wait_window_gone(settings)
        dialog, seen = self.wait_failure_dialog(vantrel, replacing=dialog,
                                                timeout=DEFAULT_TIMEOUT + RETRY_PAUSE)
        self.assertGreaterEqual(seen - pressed, RETRY_PAUSE - 0.2)
        self.assertEqual(self.failure_text(dialog), PIPE_FAILURE.format("Vantrel"))
        self.assertEqual(self.entries(vantrel).count(WAITING), 2)
        self.assertEqual(driver.reg_values(VANTREL_KEY), DEFAULT_STORE)
        self.assertNotIn("pipe-client-connected", vm.output.lines)

        # A saved name is the one waited for and opened at the next attempt.
        driver.click(dialog, CHANGE_CONFIGURATION)
        settings = vantrel.wait_window(SETTINGS_DIALOG)
        driver.set_text(settings, SET_PIPE_NAME, "Bench-7")
        self.screenshot("new-pipe-name")
        driver.click(settings, SAVE_CHANGES)
        vantrel.press_box(vantrel.wait_box(SETTINGS_SAVED_CAPTION), OK)
        vantrel.wait_window_gone(settings)
        self.assertEqual(driver.reg_values(VANTREL_KEY), store_with(**{"Pipe name": "Bench-7"}))
        vantrel.wait_status_line(CONNECTED, timeout=DEFAULT_TIMEOUT + RETRY_PAUSE)
        vm.wait_client()
        self.assertEqual(self.entries(vantrel)[-4:],
                         [WAITING, WAITING, PIPE_FOUND, PIPE_CONNECTED])
        self.assertEqual(self.entries(vantrel).count(WAITING), 3)
        self.assertEqual(vantrel.field(PIPE_NAME_FIELD), "Bench-7")


if __name__ == "__main__":
    unittest.main()

"""The settings store as the shipped Vantrel.exe meets it at start: a store
that lacks a value, the "Init from hardware" mode on a pty-backed port, a
complete store with values out of the ordinary, and names at the length
limits of the record."""

import os
import termios
import unittest

from harness import (CHANGE_SETTINGS, CONNECTED, DEFAULT_LINE, DEFAULT_STORE, FAILURE_DIALOG,
                     FAILURE_EXIT, FAILURE_MESSAGE, FATAL_ERROR, LINE_FIELDS, MAIN_CAPTION, OK,
                     PIPE_NAME_FIELD, SAVE_CHANGES, SERIAL_FAILURE, SERIAL_PORT_FIELD,
                     SET_DATA_BITS, SETTINGS_DIALOG, SETTINGS_SAVED_CAPTION, START_TIMEOUT,
                     VANTREL_KEY, E2ETestCase, box_icon, start_connected, store_with,
                     write_store)

# The system's own texts: Wine's wording first, then Windows'.
FILE_NOT_FOUND_TEXTS = ("File not found.\r\n", "The system cannot find the file specified.\r\n")
MORE_DATA_TEXTS = ("More data available.\r\n", "More data is available.\r\n")
DISCARD_NULL_FAILURE = (
    "There was an error accessing the NULL control registry key.  Please re-run the installer")
SERIAL_PORT_FAILURE = (
    "There was an error accessing the serial port registry key.  Please re-run the installer")

# Wine refuses pipe paths of MAX_PATH characters or more (CreateNamedPipe
# fails with error 206), so "\\.\pipe\" leaves room for 250 characters, not
# the 254 that the record holds. Windows itself allows only 247.
LONGEST_PIPE_NAME = 250


def long_device_name(length, device="COM3"):
    """A name of exactly length characters that opens device: a local device
    path whose dot-dot steps the system folds away before it looks the
    device up."""
    head = "\\\\.\\"
    steps = (length - len(head) - len(device)) // 5
    first = "x" * (1 + (length - len(head) - len(device)) % 5)
    name = head + first + "\\..\\" + "x\\..\\" * (steps - 1) + device
    assert len(name) == length
    return name


class StoreTestCase(E2ETestCase):
    def line_fields(self, vantrel):
        return [vantrel.field(control) for control in LINE_FIELDS]

    def assert_two_load_boxes(self, vantrel, system_texts, value_text):
        """The two "Fatal error" boxes of a failed load, one after the other,
        both before the status window exists."""
        driver = self.driver
        first = vantrel.wait_box(FATAL_ERROR, timeout=START_TIMEOUT)
        self.screenshot("load-failure-system-text")
        self.assertIn(first.text, system_texts)
        self.assertEqual(list(first.buttons.values()), ["OK"])
        self.assertEqual(box_icon(driver, first), "none")
        self.assertEqual(len(vantrel.boxes()), 1, "the second box waits for the first")
        self.assertIsNone(driver.find_window(vantrel.pid, MAIN_CAPTION))
        vantrel.press_box(first, OK)

        second = vantrel.wait_box(FATAL_ERROR)
        self.screenshot("load-failure-value-text")
        self.assertEqual(second.text, value_text)
        self.assertEqual(list(second.buttons.values()), ["OK"])
        self.assertIn(box_icon(driver, second), ("yellow", "orange"))
        self.assertIsNone(driver.find_window(vantrel.pid, MAIN_CAPTION))
        vantrel.press_box(second, OK)


class FailedLoad(StoreTestCase):
    def test_missing_value_shows_both_boxes_then_the_defaults_replace_everything(self):
        driver = self.driver
        store = store_with(**{
            "Serial port": "COM9", "Pipe name": "Elsewhere", "Baud rate": 19200,
            "Data bits": 7, "Stop bits": 2, "Parity": 2, "Flow control": 1,
            "Use CTS for output": 1, "DTR control mode": 2, "RTS control mode": 2})
        del store["Discard NULL"]
        write_store(driver, store)
        # Only the defaults lead here: the stored port and pipe do not exist.
        self.session.com_port("COM3")
        vm = self.session.vm("Vantrel")
        vantrel = self.session.vantrel()

        self.assert_two_load_boxes(vantrel, FILE_NOT_FOUND_TEXTS, DISCARD_NULL_FAILURE)

        vantrel.wait_status_line(CONNECTED)
        vm.wait_client()
        # The names read before the failure went too.
        self.assertEqual(self.line_fields(vantrel), DEFAULT_LINE)
        self.assertEqual(driver.reg_values(VANTREL_KEY), DEFAULT_STORE)
        self.assertEqual(vantrel.boxes(), [])
        self.screenshot("defaults-connected")

    def test_serial_port_name_longer_than_the_record_fails_its_row(self):
        driver = self.driver
        write_store(driver, store_with(**{"Serial port": "COM" + "7" * 252,
                                          "Pipe name": "Elsewhere"}))
        vantrel = self.session.vantrel()

        self.assert_two_load_boxes(vantrel, MORE_DATA_TEXTS, SERIAL_PORT_FAILURE)

        # The defaults: COM3, which is not there.
        failure = vantrel.wait_window(FAILURE_DIALOG)
        self.assertEqual(driver.text(failure, FAILURE_MESSAGE), SERIAL_FAILURE.format("COM3"))
        self.assertEqual(driver.reg_values(VANTREL_KEY), DEFAULT_STORE)
        driver.click(failure, FAILURE_EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)


class InitFromHardware(StoreTestCase):
    def test_store_is_rewritten_from_the_port_and_keeps_the_mode(self):
        driver = self.driver
        port = self.session.com_port("COM3")
        # What the driver of the port reports: a pty keeps the rate, the stop
        # bits and hardware flow control; it always says 8 data bits and no
        # parity.
        fd = os.open(port.host_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            attributes = termios.tcgetattr(fd)
            attributes[4] = attributes[5] = termios.B4800
            attributes[2] |= termios.CSTOPB | termios.CRTSCTS
            termios.tcsetattr(fd, termios.TCSANOW, attributes)
        finally:
            os.close(fd)
        store = dict(store_with(**{
            "Pipe name": "FromHardware", "Baud rate": 115200, "Data bits": 7, "Parity": 1,
            "Flow control": 2, "DTR control mode": 2, "RTS control mode": 3, "Discard NULL": 1}),
            **{"Init from hardware": ("REG_DWORD", 1)})
        _, _, vantrel = start_connected(self.session, store, port=port)
        self.assertEqual(vantrel.boxes(), [])
        stored = driver.reg_values(VANTREL_KEY)
        self.assertEqual(set(stored), set(store))
        self.assertEqual(stored["Init from hardware"], ("REG_DWORD", 1))
        self.assertEqual(stored["Serial port"], ("REG_SZ", "COM3"))
        self.assertEqual(stored["Pipe name"], ("REG_SZ", "FromHardware"))
        for name, value in (("Baud rate", 4800), ("Stop bits", 2), ("Data bits", 8),
                            ("Parity", 0), ("Use CTS for output", 1), ("Flow control", 0)):
            self.assertEqual(stored[name], ("REG_DWORD", value), name)
        # The port has no Discard NULL; Wine reports it off.
        self.assertEqual(stored["Discard NULL"], ("REG_DWORD", 0))
        self.assertEqual(self.line_fields(vantrel),
                         ["COM3", "FromHardware", "4800", "NONE", "8", "2", "NONE"])
        self.screenshot("connected")


class CompleteStore(StoreTestCase):
    def test_loads_without_a_box_and_shows_and_saves_what_it_holds(self):
        driver = self.driver
        store = store_with(**{
            "Serial port": "COM5", "Pipe name": "Lab VM pipe", "Baud rate": 57600,
            "Data bits": 264,  # low 8 bits: 8
            "Stop bits": 2, "Parity": 2, "Flow control": 2, "Use CTS for output": 1,
            "Use DSR for output": 0, "Use DSR for input": 0, "DTR control mode": 2,
            "RTS control mode": 1, "Discard NULL": 1})
        port, vm, vantrel = start_connected(self.session, store,
                                            port=self.session.com_port("COM5"))
        self.assertEqual(vantrel.boxes(), [])
        self.assertEqual([w[3] for w in vantrel.windows() if w[2]], [MAIN_CAPTION])
        # Parity and data bits come from the live port, and a pty carries
        # neither: the stored EVEN shows as NONE, any data bits as 8.
        self.assertEqual(self.line_fields(vantrel),
                         ["COM5", "Lab VM pipe", "57600", "NONE", "8", "2", "XON/XOFF"])
        self.screenshot("connected")
        vm.send(b"ping")
        self.assertEqual(port.read_exactly(4), b"ping")

        # The record itself shows in the settings dialog: 264 became 8.
        driver.click(vantrel.status_window(), CHANGE_SETTINGS)
        dialog = vantrel.wait_window(SETTINGS_DIALOG)
        selected, entries = driver.combo(dialog, SET_DATA_BITS)
        self.assertEqual(entries[selected] if selected >= 0 else None, "8")
        driver.click(dialog, SAVE_CHANGES)
        vantrel.press_box(vantrel.wait_box(SETTINGS_SAVED_CAPTION), OK)
        vantrel.wait_window_gone(dialog)
        self.assertEqual(driver.reg_values(VANTREL_KEY), store_with(store, **{"Data bits": 8}))


class LongNames(StoreTestCase):
    def test_names_at_the_record_limit_load_and_connect(self):
        driver = self.driver
        serial_name = long_device_name(254)
        pipe_name = "LongPipe" + "p" * (LONGEST_PIPE_NAME - 8)
        store = store_with(**{"Serial port": serial_name, "Pipe name": pipe_name})
        port, vm, vantrel = start_connected(self.session, store)
        self.assertEqual(vantrel.boxes(), [])
        self.assertEqual(vantrel.field(SERIAL_PORT_FIELD), serial_name)
        self.assertEqual(vantrel.field(PIPE_NAME_FIELD), pipe_name)
        vm.send(b"to the device")
        self.assertEqual(port.read_exactly(13), b"to the device")
        port.write(b"to the VM")
        self.assertEqual(vm.recv_exactly(9), b"to the VM")
        self.assertEqual(driver.reg_values(VANTREL_KEY), store)


if __name__ == "__main__":
    unittest.main()

"""The settings store as the shipped Vantrel.exe meets it at start: a store
that lacks a value, the "Init from hardware" mode on a pty-backed port, a
complete store with values out of the ordinary, and names at the length
limits of the record."""

import os
import termios
import unittest

from harness import (DEFAULT_STORE, DEFAULT_TIMEOUT, SPLASH_SECONDS, VANTREL_KEY, E2ETestCase,
                     box_icon, write_store)

START_TIMEOUT = DEFAULT_TIMEOUT + SPLASH_SECONDS

FAILURE_DIALOG = "Configuration mismatch"
FAILURE_MESSAGE, FAILURE_EXIT = 1039, 1040
CHANGE_SETTINGS = 1025
SERIAL_PORT_FIELD, PIPE_NAME_FIELD = 1000, 1011
BAUD_FIELD, PARITY_FIELD, DATA_BITS_FIELD, STOP_BITS_FIELD, FLOW_FIELD = 1014, 1015, 1016, 1017, 1019
LINE_FIELDS = (SERIAL_PORT_FIELD, PIPE_NAME_FIELD, BAUD_FIELD, PARITY_FIELD, DATA_BITS_FIELD,
               STOP_BITS_FIELD, FLOW_FIELD)
SETTINGS_DIALOG = "Vantrel settings"
SAVE_CHANGES = 1
SET_DATA_BITS = 1033

DEFAULT_LINE = ["COM3", "Vantrel", "9600", "NONE", "8", "1", "NONE"]

# The system's own texts: Wine's wording first, then Windows'.
FILE_NOT_FOUND_TEXTS = ("File not found.\r\n", "The system cannot find the file specified.\r\n")
MORE_DATA_TEXTS = ("More data available.\r\n", "More data is available.\r\n")
DISCARD_NULL_FAILURE = (
    "There was an error accessing the NULL control registry key.  Please re-run the installer")
SERIAL_PORT_FAILURE = (
    "There was an error accessing the serial port registry key.  Please re-run the installer")
SERIAL_FAILURE_START = "Couldn't open serial port "

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
        first = vantrel.wait_box("Fatal error", timeout=START_TIMEOUT)
        self.screenshot("load-failure-system-text")
        self.assertIn(first.text, system_texts)
        self.assertEqual(list(first.buttons.values()), ["OK"])
        self.assertEqual(box_icon(driver, first), "none")
        self.assertEqual(len(vantrel.boxes()), 1, "the second box waits for the first")
        self.assertIsNone(driver.find_window(vantrel.pid, "Vantrel"))
        vantrel.press_box(first, "OK")

        second = vantrel.wait_box("Fatal error")
        self.screenshot("load-failure-value-text")
        self.assertEqual(second.text, value_text)
        self.assertEqual(list(second.buttons.values()), ["OK"])
        self.assertIn(box_icon(driver, second), ("yellow", "orange"))
        self.assertIsNone(driver.find_window(vantrel.pid, "Vantrel"))
        vantrel.press_box(second, "OK")


class FailedLoad(StoreTestCase):
    def test_missing_value_shows_both_boxes_then_the_defaults_replace_everything(self):
        driver = self.driver
        store = dict(DEFAULT_STORE)
        store.update({
            "Serial port": ("REG_SZ", "COM9"), "Pipe name": ("REG_SZ", "Elsewhere"),
            "Baud rate": ("REG_DWORD", 19200), "Data bits": ("REG_DWORD", 7),
            "Stop bits": ("REG_DWORD", 2), "Parity": ("REG_DWORD", 2),
            "Flow control": ("REG_DWORD", 1), "Use CTS for output": ("REG_DWORD", 1),
            "DTR control mode": ("REG_DWORD", 2), "RTS control mode": ("REG_DWORD", 2),
        })
        del store["Discard NULL"]
        write_store(driver, store)
        # Only the defaults lead here: the stored port and pipe do not exist.
        self.session.com_port("COM3")
        vm = self.session.vm("Vantrel")
        vantrel = self.session.vantrel()

        self.assert_two_load_boxes(vantrel, FILE_NOT_FOUND_TEXTS, DISCARD_NULL_FAILURE)

        vantrel.wait_status_line("Connected")
        vm.wait_client()
        # The names read before the failure went too.
        self.assertEqual(self.line_fields(vantrel), DEFAULT_LINE)
        self.assertEqual(driver.reg_values(VANTREL_KEY), DEFAULT_STORE)
        self.assertEqual(vantrel.boxes(), [])
        self.screenshot("defaults-connected")

    def test_serial_port_name_longer_than_the_record_fails_its_row(self):
        driver = self.driver
        store = dict(DEFAULT_STORE)
        store["Serial port"] = ("REG_SZ", "COM" + "7" * 252)
        store["Pipe name"] = ("REG_SZ", "Elsewhere")
        write_store(driver, store)
        vantrel = self.session.vantrel()

        self.assert_two_load_boxes(vantrel, MORE_DATA_TEXTS, SERIAL_PORT_FAILURE)

        # The defaults: COM3, which is not there.
        failure = vantrel.wait_window(FAILURE_DIALOG)
        self.assertTrue(
            driver.text(failure, FAILURE_MESSAGE).startswith(SERIAL_FAILURE_START + "COM3."),
            driver.text(failure, FAILURE_MESSAGE))
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
        store = {
            "Serial port": ("REG_SZ", "COM3"), "Pipe name": ("REG_SZ", "FromHardware"),
            "Init from hardware": ("REG_DWORD", 1),
            "Baud rate": ("REG_DWORD", 115200), "Data bits": ("REG_DWORD", 7),
            "Stop bits": ("REG_DWORD", 0), "Parity": ("REG_DWORD", 1),
            "Flow control": ("REG_DWORD", 2), "Use CTS for output": ("REG_DWORD", 0),
            "Use DSR for output": ("REG_DWORD", 1), "Use DSR for input": ("REG_DWORD", 1),
            "DTR control mode": ("REG_DWORD", 2), "RTS control mode": ("REG_DWORD", 3),
            "Discard NULL": ("REG_DWORD", 1),
        }
        write_store(driver, store)
        vm = self.session.vm("FromHardware")
        vantrel = self.session.vantrel()

        vantrel.wait_status_line("Connected", timeout=START_TIMEOUT)
        vm.wait_client()
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
        store = {
            "Serial port": ("REG_SZ", "COM5"), "Pipe name": ("REG_SZ", "Lab VM pipe"),
            "Baud rate": ("REG_DWORD", 57600),
            "Data bits": ("REG_DWORD", 264),  # low 8 bits: 8
            "Stop bits": ("REG_DWORD", 2), "Parity": ("REG_DWORD", 2),
            "Flow control": ("REG_DWORD", 2), "Use CTS for output": ("REG_DWORD", 1),
            "Use DSR for output": ("REG_DWORD", 0), "Use DSR for input": ("REG_DWORD", 0),
            "DTR control mode": ("REG_DWORD", 2), "RTS control mode": ("REG_DWORD", 1),
            "Discard NULL": ("REG_DWORD", 1),
        }
        write_store(driver, store)
        port = self.session.com_port("COM5")
        vm = self.session.vm("Lab VM pipe")
        vantrel = self.session.vantrel()

        vantrel.wait_status_line("Connected", timeout=START_TIMEOUT)
        vm.wait_client()
        self.assertEqual(vantrel.boxes(), [])
        self.assertEqual([w[3] for w in vantrel.windows() if w[2]], ["Vantrel"])
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
        vantrel.press_box(vantrel.wait_box("Settings saved"), "OK")
        vantrel.wait_window_gone(dialog)
        expected = dict(store)
        expected["Data bits"] = ("REG_DWORD", 8)
        self.assertEqual(driver.reg_values(VANTREL_KEY), expected)


class LongNames(StoreTestCase):
    def test_names_at_the_record_limit_load_and_connect(self):
        driver = self.driver
        serial_name = long_device_name(254)
        pipe_name = "LongPipe" + "p" * (LONGEST_PIPE_NAME - 8)
        store = dict(DEFAULT_STORE)
        store["Serial port"] = ("REG_SZ", serial_name)
        store["Pipe name"] = ("REG_SZ", pipe_name)
        write_store(driver, store)
        port = self.session.com_port("COM3")
        vm = self.session.vm(pipe_name)
        self.session.add_closer(vm.close)
        vantrel = self.session.vantrel()

        vantrel.wait_status_line("Connected", timeout=START_TIMEOUT)
        vm.wait_client()
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

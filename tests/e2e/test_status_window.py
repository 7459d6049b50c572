"""The status window of the shipped Vantrel.exe under Wine and Xvfb: its
layout, the status line and Messages pane, Reset, the ways out, the About
box, the administrator gate of Change settings, the settings dialog and a
Messages pane filled past the edit control's default limit."""

import re
import time
import unittest

from harness import (ABOUT, ABOUT_BOX, ADMIN_REQUIRED, ADMIN_REQUIRED_CAPTION, BAUD_FIELD,
                     CANCEL, CHANGE_SETTINGS, CONNECTED, COUNTERS, DEFAULT_LINE, DEFAULT_STORE,
                     DEFAULT_TIMEOUT, EXIT, FAILURE_DIALOG, LINE_FIELDS, LOG_PREFIX, OK, RESET,
                     RETRY, SAVE_CHANGES, SAVE_CHANGES_CAPTION, SERIAL_PORT_FIELD, SET_BAUD,
                     SET_CTS_OUT, SET_DATA_BITS, SET_DISCARD_NULL, SET_DSR_IN, SET_DSR_OUT,
                     SET_DTR, SET_FLOW, SET_PARITY, SET_PIPE_NAME, SET_RTS, SET_SERIAL_PORT,
                     SET_STOP_BITS, SETTINGS_DIALOG, SETTINGS_SAVED_CAPTION, STATUS_LINE,
                     VANTREL_KEY, WAITING_FOR_CONNECTION, E2ETestCase, box_icon, start_connected, store_with,
                     wait_for)

SETTINGS_SAVED = (
    "The settings have been saved.  Please restart Vantrel for the new settings to take effect.")
SAVE_CHANGES_QUESTION = (
    "Unsaved changed will be lost.  Are you sure you want to close this window?")

# The controls of dialog 129 in template order: id, class and, except for the
# edits (whose text the system does not copy for other processes), text.
TEMPLATE_CONTROLS = [
    (-1, "Static", "Vantrel-V"), (1013, "Static", ""), (-1, "Button", "Link settings"),
    (-1, "Static", "Serial port"), (1000, "Edit", None), (-1, "Static", "Pipe name"),
    (1011, "Edit", None), (-1, "Button", "Serial port settings"), (1014, "Edit", None),
    (-1, "Static", "Baud"), (1015, "Edit", None), (-1, "Static", "Parity"), (1016, "Edit", None),
    (-1, "Static", "Data"), (1017, "Edit", None), (-1, "Static", "Stop"), (1019, "Edit", None),
    (-1, "Static", "Flow control"), (-1, "Button", "Link activity"), (1002, "Static", ""),
    (1003, "Static", ""), (1023, "Static", ""), (1024, "Static", ""),
    (-1, "Button", "Link statistics"), (1027, "Static", "Received"), (1010, "Static", "Sent"),
    (-1, "Static", "Virtual"), (-1, "Static", "Serial"), (1007, "Static", "0"),
    (1028, "Static", "bytes"), (1008, "Static", "0"), (1029, "Static", "bytes"),
    (1012, "Static", "0"), (1030, "Static", "bytes"), (1020, "Static", "0"),
    (1031, "Static", "bytes"), (1018, "Button", ""), (-1, "Button", "Messages"),
    (1045, "Edit", None), (1041, "Button", "About"), (1025, "Button", "Change settings"),
    (2, "Button", "Exit"), (1026, "Static", "Waiting for connection..."),
    (-1, "Static", "V2.4 Base"),
]

# Place and size in dialog units of the controls that have an id (the cable
# picture left out: an icon control may take the size of its icon).
TEMPLATE_PLACES = {
    1000: (77, 40, 25, 12), 1011: (162, 40, 84, 12), 1014: (44, 80, 32, 14),
    1015: (92, 80, 30, 14), 1016: (137, 80, 16, 14), 1017: (167, 80, 18, 14),
    1019: (202, 80, 43, 14), 1002: (16, 134, 20, 20), 1003: (36, 134, 20, 20),
    1023: (64, 134, 20, 20), 1024: (82, 134, 20, 20), 1007: (143, 136, 27, 8),
    1008: (192, 136, 31, 8), 1012: (143, 146, 27, 8), 1020: (192, 146, 31, 8),
    1018: (251, 138, 18, 15), 1045: (14, 177, 260, 25), 1041: (36, 214, 50, 14),
    1025: (114, 214, 63, 14), 2: (206, 214, 50, 14), 1026: (16, 236, 177, 8),
}


def selected_text(driver, dialog, control):
    selected, entries = driver.combo(dialog, control)
    return entries[selected] if selected >= 0 else None


class StatusWindowTestCase(E2ETestCase):
    def start_connected(self, store=None, restricted=False):
        """Vantrel relaying between a pty COM3 and a stand-in VM."""
        self.port, self.vm, self.vantrel = start_connected(self.session, store,
                                                           restricted=restricted)
        self.window = self.vantrel.status_window()
        return self.vantrel

    def reset_entries(self):
        return self.vantrel.messages().count("Data counter reset (was ")

    def press_reset_and_wait(self):
        """Presses Reset and waits for its entry. Clicks are posted to the
        user-interface thread's queue, so once the entry is there every
        message posted before the click has been handled too."""
        before = self.reset_entries()
        self.driver.click(self.window, RESET)
        wait_for("the Reset entry", lambda: (self.reset_entries() == before + 1,
                                            self.vantrel.messages()[-300:]))
        return self.vantrel.messages()

    def relay(self, to_device, to_vm):
        if to_device:
            self.vm.send(to_device)
            self.assertEqual(self.port.read_exactly(len(to_device)), to_device)
        if to_vm:
            self.port.write(to_vm)
            self.assertEqual(self.vm.recv_exactly(len(to_vm)), to_vm)


class Layout(StatusWindowTestCase):
    def test_template_shows_waiting_text_until_start_up_writes_the_status_line(self):
        driver = self.driver
        started_year = time.localtime().tm_year
        port = self.session.com_port("COM3", plugged=False)
        vm = self.session.vm("Vantrel")
        vantrel = self.vantrel = self.session.vantrel()
        window = self.window = vantrel.status_window()
        # Start-up waits in the serial failure dialog: nothing has written the
        # status line or the line settings yet.
        failure = vantrel.wait_window(FAILURE_DIALOG)
        self.assertEqual(vantrel.status_line(), WAITING_FOR_CONNECTION)
        self.assertEqual([vantrel.field(c) for c in LINE_FIELDS], [""] * len(LINE_FIELDS))
        self.assertEqual([vantrel.field(c) for c in COUNTERS], ["0"] * 4)
        first_line = self.vantrel.messages().split("\r\n")[0]
        match = re.fullmatch(f"({LOG_PREFIX})Vantrel is starting up", first_line)
        self.assertIsNotNone(match, first_line)
        self.assertTrue({str(started_year), str(time.localtime().tm_year)} &
                        set(re.findall(r"\d{4}", match.group(1))), first_line)

        self.assertEqual(driver.rect(window)[:2], (0, 0), "placed at the top-left corner")
        shown = [(c[0], c[1], None if c[1] == "Edit" else c[4]) for c in driver.controls(window)]
        self.assertEqual(shown, TEMPLATE_CONTROLS)
        self.assert_places(window)
        self.screenshot("waiting")

        port.plug()
        driver.click(failure, RETRY)
        vantrel.wait_status_line(CONNECTED)
        vm.wait_client()
        self.assertEqual([vantrel.field(c) for c in LINE_FIELDS], DEFAULT_LINE)
        self.screenshot("connected")

        driver.click(window, EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)

    def assert_places(self, window):
        """Every control with an id sits where the template puts it, in the
        pixels that the dialog's font makes of a dialog unit."""
        rects = {control: self.driver.rect(window, control) for control in TEMPLATE_PLACES}
        # Scale and origin from controls far apart, so rounding stays small.
        x_unit = (rects[RESET][0] - rects[BAUD_FIELD][0]) / (251 - 44)
        y_unit = (rects[STATUS_LINE][1] - rects[SERIAL_PORT_FIELD][1]) / (236 - 40)
        origin_x = rects[BAUD_FIELD][0] - 44 * x_unit
        origin_y = rects[SERIAL_PORT_FIELD][1] - 40 * y_unit
        misplaced = {}
        for control, (x, y, width, height) in TEMPLATE_PLACES.items():
            expected = (origin_x + x * x_unit, origin_y + y * y_unit,
                        origin_x + (x + width) * x_unit, origin_y + (y + height) * y_unit)
            if any(abs(a - e) > 2.5 for a, e in zip(rects[control], expected)):
                misplaced[control] = (rects[control], tuple(round(e) for e in expected))
        self.assertEqual(misplaced, {}, "control: (actual, expected) in screen pixels")


class ResetAndClose(StatusWindowTestCase):
    def test_reset_logs_the_totals_in_order_and_counting_restarts_from_zero(self):
        self.start_connected()

        pane = self.press_reset_and_wait()
        self.assertRegex(pane, f"\r\n{LOG_PREFIX}Data counter reset \\(was 0, 0, 0, 0\\)\r\n\\Z")
        self.assertEqual([self.vantrel.field(c) for c in COUNTERS], ["0"] * 4)

        self.relay(b"12345", b"abc")
        self.vantrel.wait_counters(5, 3, 3, 5)
        pane = self.press_reset_and_wait()
        self.assertRegex(pane, f"\r\n{LOG_PREFIX}Data counter reset \\(was 5, 3, 3, 5\\)\r\n\\Z")
        self.vantrel.wait_counters(0, 0, 0, 0)

        self.relay(b"xy", b"defg")
        self.vantrel.wait_counters(2, 4, 4, 2)
        self.screenshot("counting-again")

        self.driver.sys_close(self.window)
        self.assertEqual(self.vantrel.wait_exit(), 0)


class AboutBox(StatusWindowTestCase):
    def test_about_closes_only_through_ok_or_enter_while_the_window_stays_live(self):
        driver = self.driver
        vantrel = self.start_connected()
        driver.click(self.window, ABOUT)
        about = vantrel.wait_window(ABOUT_BOX)
        texts = [c[4] for c in driver.controls(about)]
        self.assertIn("V2.4 Base", texts)
        self.assertIn("Vantrel", texts)
        self.assertEqual(driver.rect(about)[:2], (0, 0), "placed at the top-left corner")
        self.screenshot("about")

        # Each press of Reset is handled after the key or close request posted
        # before it, so its entry proves the request was seen and ignored.
        driver.key(about, "escape")
        self.press_reset_and_wait()
        self.assertEqual(vantrel.wait_window(ABOUT_BOX), about)
        driver.sys_close(about)
        self.press_reset_and_wait()
        self.assertEqual(vantrel.wait_window(ABOUT_BOX), about)

        # The status window keeps counting while the box is up.
        self.relay(b"while about", b"")
        self.vantrel.wait_counters(11, 0, 0, 11)
        driver.click(about, OK)
        vantrel.wait_window_gone(about)

        driver.click(self.window, ABOUT)
        about = vantrel.wait_window(ABOUT_BOX)
        driver.key(about, "enter")
        vantrel.wait_window_gone(about)

        # Exit works from inside the box's modal loop as well.
        driver.click(self.window, ABOUT)
        vantrel.wait_window(ABOUT_BOX)
        driver.click(self.window, EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)


class NonAdministrator(StatusWindowTestCase):
    def test_change_settings_is_refused_and_the_close_box_ends_the_program(self):
        driver = self.driver
        vantrel = self.start_connected(store=DEFAULT_STORE, restricted=True)
        self.assertFalse(driver.is_admin(vantrel.pid))

        driver.click(self.window, CHANGE_SETTINGS)
        refusal = vantrel.wait_box(ADMIN_REQUIRED_CAPTION)
        self.screenshot("refused")
        self.assertEqual(refusal.text, ADMIN_REQUIRED)
        self.assertEqual(list(refusal.buttons.values()), ["OK"])
        self.assertEqual(box_icon(driver, refusal), "red")
        vantrel.press_box(refusal, OK)
        # Reset is handled after whatever the refusal could have led to.
        self.press_reset_and_wait()
        self.assertIsNone(driver.find_window(vantrel.pid, SETTINGS_DIALOG))
        self.assertEqual(vantrel.boxes(), [])
        self.assertEqual(driver.reg_values(VANTREL_KEY), DEFAULT_STORE)

        driver.sys_close(self.window)
        self.assertEqual(vantrel.wait_exit(), 0)


class SettingsDialog(StatusWindowTestCase):
    def test_opens_on_the_record_and_save_writes_the_registry(self):
        driver = self.driver
        store = store_with(**{
            "Data bits": 7, "Stop bits": 2, "Parity": 1, "Flow control": 3,
            "Use CTS for output": 1, "Use DSR for output": 0,
            # Wine refuses RTS toggle on a COM port, and start-up would end there.
            "DTR control mode": 2, "RTS control mode": 2, "Discard NULL": 1})
        vantrel = self.start_connected(store=store)
        shown_before = [vantrel.field(c) for c in LINE_FIELDS]

        driver.click(self.window, CHANGE_SETTINGS)
        dialog = vantrel.wait_window(SETTINGS_DIALOG)
        self.screenshot("settings")
        self.assertEqual(
            {control: selected_text(driver, dialog, control) for control in (
                SET_BAUD, SET_PARITY, SET_STOP_BITS, SET_DATA_BITS, SET_FLOW, SET_DTR, SET_RTS,
                SET_CTS_OUT, SET_DSR_OUT, SET_DSR_IN, SET_DISCARD_NULL)},
            {SET_BAUD: "9600 bps", SET_PARITY: "ODD", SET_STOP_BITS: "2", SET_DATA_BITS: "7",
             SET_FLOW: "Custom", SET_DTR: "DTR handshaking", SET_RTS: "RTS handshaking",
             SET_CTS_OUT: "Yes", SET_DSR_OUT: "No (ignore)", SET_DSR_IN: "Yes",
             SET_DISCARD_NULL: "Yes"})
        self.assertEqual([driver.text(dialog, SET_SERIAL_PORT), driver.text(dialog, SET_PIPE_NAME)],
                         ["COM3", "Vantrel"])
        # Custom flow control, yet the two lists wait for the flow list to be
        # touched before they are enabled.
        self.assertEqual([driver.enabled(dialog, SET_RTS), driver.enabled(dialog, SET_CTS_OUT)],
                         [False, False])

        # The status window keeps counting while the dialog is up.
        self.relay(b"dialog up", b"")
        self.vantrel.wait_counters(9, 0, 0, 9)

        # Typed names longer than the dialog takes are cut, not refused.
        driver.set_text(dialog, SET_SERIAL_PORT, "COM4" + "x" * 116)
        driver.set_text(dialog, SET_PIPE_NAME, "Other VM")
        for control, index in ((SET_BAUD, 11), (SET_PARITY, 2), (SET_DATA_BITS, 0),
                               (SET_STOP_BITS, 0), (SET_FLOW, 1), (SET_DTR, 0), (SET_DSR_OUT, 1),
                               (SET_DSR_IN, 0), (SET_DISCARD_NULL, 0)):
            driver.combo_select(dialog, control, index)
        driver.click(dialog, SAVE_CHANGES)
        saved = vantrel.wait_box(SETTINGS_SAVED_CAPTION)
        self.assertEqual(saved.text, SETTINGS_SAVED)
        self.assertEqual(list(saved.buttons.values()), ["OK"])
        self.assertEqual(box_icon(driver, saved), "blue")
        vantrel.press_box(saved, OK)
        vantrel.wait_window_gone(dialog)

        self.assertEqual(driver.reg_values(VANTREL_KEY), {
            "Serial port": ("REG_SZ", ("COM4" + "x" * 116)[:99]),
            "Pipe name": ("REG_SZ", "Other VM"),
            "Baud rate": ("REG_DWORD", 115200), "Data bits": ("REG_DWORD", 5),
            "Stop bits": ("REG_DWORD", 0), "Parity": ("REG_DWORD", 2),
            "Flow control": ("REG_DWORD", 1), "Use CTS for output": ("REG_DWORD", 1),
            "Use DSR for output": ("REG_DWORD", 1), "Use DSR for input": ("REG_DWORD", 0),
            "DTR control mode": ("REG_DWORD", 0), "RTS control mode": ("REG_DWORD", 2),
            "Discard NULL": ("REG_DWORD", 0),
        })
        # The open link goes on as it was, and so does what the window shows.
        self.assertEqual([vantrel.field(c) for c in LINE_FIELDS], shown_before)
        self.relay(b"still", b"up")
        self.vantrel.wait_counters(14, 2, 2, 14)

    def test_unlisted_rate_has_no_selection_and_cancel_changes_nothing(self):
        driver = self.driver
        store = store_with(**{"Baud rate": 230400})
        vantrel = self.start_connected(store=store)
        self.assertEqual(vantrel.field(BAUD_FIELD), "230400")

        driver.click(self.window, CHANGE_SETTINGS)
        dialog = vantrel.wait_window(SETTINGS_DIALOG)
        self.assertEqual(driver.combo(dialog, SET_BAUD)[0], -1)
        self.assertEqual(selected_text(driver, dialog, SET_DATA_BITS), "8")
        driver.set_text(dialog, SET_SERIAL_PORT, "COM8")
        driver.combo_select(dialog, SET_PARITY, 3)
        driver.combo_select(dialog, SET_BAUD, 0)
        driver.click(dialog, CANCEL)
        question = vantrel.wait_box(SAVE_CHANGES_CAPTION)
        self.screenshot("save-changes")
        self.assertEqual(question.text, SAVE_CHANGES_QUESTION)
        self.assertEqual(list(question.buttons.values()), ["OK"])
        vantrel.press_box(question, OK)
        vantrel.wait_window_gone(dialog)
        self.assertEqual(driver.reg_values(VANTREL_KEY), store)

        # The record is untouched too: the next opening starts from it, and
        # saving without a choice of rate keeps the rate it holds.
        driver.click(self.window, CHANGE_SETTINGS)
        dialog = vantrel.wait_window(SETTINGS_DIALOG)
        self.assertEqual(driver.text(dialog, SET_SERIAL_PORT), "COM3")
        self.assertEqual(selected_text(driver, dialog, SET_PARITY), "NONE")
        self.assertEqual(driver.combo(dialog, SET_BAUD)[0], -1)
        driver.click(dialog, SAVE_CHANGES)
        vantrel.press_box(vantrel.wait_box(SETTINGS_SAVED_CAPTION), OK)
        vantrel.wait_window_gone(dialog)
        self.assertEqual(driver.reg_values(VANTREL_KEY), store)


class MessagesPane(StatusWindowTestCase):
    # The edit control's own limit (30000 characters under Wine, 32767 on
    # Windows) would drop every entry past it.
    DEFAULT_EDIT_LIMIT = 32767

    def test_newest_entry_lands_last_past_the_default_edit_limit(self):
        self.start_connected()
        pane = self.press_reset_and_wait()
        entry = len(pane.rstrip("\r\n").rsplit("\r\n", 1)[1]) + 2
        presses = (self.DEFAULT_EDIT_LIMIT - len(pane)) // entry + 20
        for _ in range(presses):
            self.driver.click(self.window, RESET)
        # Each Reset costs the program tens of milliseconds under Wine.
        wait_for(f"{presses} more Reset entries",
                 lambda: (self.reset_entries() == presses + 1, self.reset_entries()),
                 timeout=max(DEFAULT_TIMEOUT, presses * 0.25), interval=0.5)

        self.relay(b"1234567", b"")
        self.vantrel.wait_counters(7, 0, 0, 7)
        pane = self.press_reset_and_wait()
        self.assertGreater(len(pane), self.DEFAULT_EDIT_LIMIT)
        self.assertRegex(pane, f"\r\n{LOG_PREFIX}Data counter reset \\(was 7, 0, 0, 7\\)\r\n\\Z")
        # Below the raised limit nothing is dropped.
        self.assertRegex(pane.split("\r\n")[0], f"^{LOG_PREFIX}Vantrel is starting up$")
        self.assertEqual(self.reset_entries(), presses + 2)


if __name__ == "__main__":
    unittest.main()

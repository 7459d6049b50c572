"""Checks of the test tools themselves, against windows and pipes whose
contents are known: if these fail, no end-to-end result can be trusted."""

import os
import re
import threading
import unittest

from harness import (DriverError, E2ETestCase, HarnessError, Program, VANTREL_KEY, wait_for,
                     escape_field, unescape_field)

FIXTURE_CAPTION = "uidriver fixture"
LABEL, EDIT, COMBO, RESULT, BOX, GREEN, YELLOW, GREY = 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008
CHECK, DISABLED, MODAL, ADMIN, BLOCK, LOG, SPIN, MODAL_EDIT = 1009, 1010, 1011, 1012, 1013, 1014, 1015, 1020


class FieldEscaping(unittest.TestCase):
    def test_every_special_character_survives_a_round_trip(self):
        for text in ["", " ", "a b", "C:\\dir\\x y", "\r\n\t", "\\s", "\\e", "tail\\"]:
            field = escape_field(text)
            self.assertNotIn(" ", field)
            self.assertNotIn("\n", field)
            self.assertEqual(unescape_field(field), text)


class FixtureTestCase(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.fixture = self.launch_fixture()
        self.window = self.fixture.wait_window(FIXTURE_CAPTION)

    def launch_fixture(self, restricted=False):
        return self.session.program(self.session.tool("uifixture.exe"), restricted=restricted,
                                    kind=Program)

    def result(self):
        return self.driver.text(self.window, RESULT)

    def wait_result(self, expected):
        return self.fixture.wait_text(self.window, RESULT, expected)


class DriverReadsWindows(FixtureTestCase):
    def test_texts_of_window_static_and_a_large_edit(self):
        self.assertEqual(self.driver.text(self.window), FIXTURE_CAPTION)
        self.assertEqual(self.driver.text(self.window, LABEL), "Fixture label")
        log = self.driver.text(self.window, LOG)
        lines = log.split("\r\n")
        self.assertEqual(len(log), sum(len(f"log line {n}\r\n") for n in range(1, 3001)))
        self.assertEqual(lines[0], "log line 1")
        self.assertEqual(lines[2999], "log line 3000")
        self.screenshot("fixture")

    def test_window_listing_shows_the_dialog_and_its_controls(self):
        listed = [w for w in self.driver.windows(self.fixture.pid) if w[2]]
        self.assertIn((self.window, "#32770", True, FIXTURE_CAPTION), listed)
        controls = {c[0]: c for c in self.driver.controls(self.window)}
        self.assertEqual(controls[BOX][1:], ("Button", True, True, "Box"))
        self.assertEqual(controls[DISABLED][2], False)
        self.assertIsNone(self.driver.find_window(self.fixture.pid, "No such caption"))

    def test_enabled_visible_and_check_state(self):
        self.assertTrue(self.driver.enabled(self.window, BOX))
        self.assertFalse(self.driver.enabled(self.window, DISABLED))
        self.assertTrue(self.driver.visible(self.window, BOX))
        self.assertEqual(self.driver.checked(self.window, CHECK), 0)
        self.driver.click(self.window, CHECK)
        self.wait_result("check 1")
        self.assertEqual(self.driver.checked(self.window, CHECK), 1)

    def test_combo_entries_and_selection_as_a_user_makes_it(self):
        self.assertEqual(self.driver.combo(self.window, COMBO), (1, ["alpha", "beta", "gamma delta"]))
        self.driver.combo_select(self.window, COMBO, 2)
        self.wait_result("combo 2")  # the dialog was told, as by a user's pick
        self.assertEqual(self.driver.combo(self.window, COMBO)[0], 2)
        with self.assertRaises(DriverError):
            self.driver.combo_select(self.window, COMBO, 7)

    def test_set_text_keeps_every_character(self):
        text = "two  spaces, a \\ backslash, a tab\tand \u00fcml\u00e4ut \u2603"
        self.driver.set_text(self.window, EDIT, text)
        self.assertEqual(self.driver.text(self.window, EDIT), text)

    def test_icon_colours(self):
        self.assertEqual(self.driver.icon(self.window, GREEN)[0], "green")
        self.assertEqual(self.driver.icon(self.window, YELLOW)[0], "yellow")
        colour, rgb, _ = self.driver.icon(self.window, GREY)
        self.assertEqual(colour, "grey")
        self.assertTrue(all(abs(c - 128) < 20 for c in rgb), rgb)
        self.assertEqual(self.driver.icon(self.window, LABEL)[0], "none")

    def test_a_busy_user_interface_thread_does_not_hang_the_driver(self):
        self.driver.click(self.window, BLOCK)
        wait_for("the fixture's thread to stop answering",
                 lambda: (self.driver.text(self.window, RESULT) is None, "answered"), timeout=10)
        # The system's copy of a static's text needs no answer.
        self.assertEqual(self.driver.system_text(self.window, LABEL), "Fixture label")
        self.wait_result("unblocked")


class DriverActsAsUser(FixtureTestCase):
    def test_disabled_and_missing_buttons_cannot_be_pressed(self):
        with self.assertRaisesRegex(DriverError, "disabled"):
            self.driver.click(self.window, DISABLED)
        with self.assertRaisesRegex(DriverError, "no-such-control"):
            self.driver.click(self.window, 4242)

    def test_message_box_is_listed_read_and_pressed(self):
        self.assertEqual(self.fixture.boxes(), [])
        self.driver.click(self.window, BOX)  # returns although the box is modal
        box = self.fixture.wait_box("Fixture box")
        self.assertEqual(box.text, "Box text\nsecond line")
        self.assertEqual({i: l.replace("&", "") for i, l in box.buttons.items()},
                         {6: "Yes", 7: "No", 2: "Cancel"})
        self.screenshot("box")
        self.fixture.press_box(box, "No")
        self.wait_result("box 7")
        self.assertEqual(self.fixture.boxes(), [])
        # A box that has closed reads as gone, never as an empty reading.
        with self.assertRaisesRegex(DriverError, "gone"):
            self.driver.box(box.hwnd)

    def test_keys_reach_the_dialog_manager(self):
        self.driver.click(self.window, BOX)
        box = self.fixture.wait_box("Fixture box")
        self.driver.key(box.hwnd, "escape")
        self.wait_result("box 2")

        self.driver.click(self.window, MODAL)
        modal = self.fixture.wait_window("Fixture modal")
        self.driver.set_text(modal, MODAL_EDIT, "typed text")
        self.driver.key(modal, "enter")
        self.wait_result("modal 1 typed text")

        self.driver.click(self.window, MODAL)
        modal = self.fixture.wait_window("Fixture modal")
        self.driver.key(modal, "escape")
        self.wait_result(re.compile(r"^modal 2 "))

    def test_close_box_ends_the_program_with_its_exit_code(self):
        self.assertTrue(self.fixture.running)
        self.driver.sys_close(self.window)
        self.assertEqual(self.fixture.wait_exit(), 7)
        self.assertFalse(self.fixture.running)
        # Waiting on a program that has ended fails at once, saying so (a
        # deadline that passed would say "timed out").
        with self.assertRaisesRegex(HarnessError, "ended with exit code 7"):
            self.fixture.wait_window("Never shown", timeout=60)
        # An ended program's boxes cannot be read: no "none shown" from it.
        with self.assertRaisesRegex(DriverError, "ended"):
            self.fixture.boxes()

    def test_wait_exit_gives_up_on_a_running_program(self):
        self.assertIsNone(self.driver.wait_exit(self.fixture.pid, 0.5))
        with self.assertRaisesRegex(HarnessError, "still runs"):
            self.fixture.wait_exit(0.2)

    def test_restricted_token_is_not_an_administrator(self):
        self.assertTrue(self.driver.is_admin(self.fixture.pid))
        self.assertEqual(self.driver.text(self.window, ADMIN), "admin 1")
        restricted = self.launch_fixture(restricted=True)
        window = restricted.wait_window(FIXTURE_CAPTION)
        self.assertFalse(self.driver.is_admin(restricted.pid))
        self.assertEqual(self.driver.text(window, ADMIN), "admin 0")

    def test_processor_time_of_the_program(self):
        before = self.fixture.cpu_seconds()
        self.driver.click(self.window, SPIN)
        spun = int(self.wait_result(re.compile(r"^spun \d+$")).split()[1]) / 1000
        used = self.fixture.cpu_seconds() - before
        # The reading from outside against the program's own account of the
        # same work, with half of it to spare: it reads the right process.
        self.assertGreater(used, spun / 2, f"read {used:.2f} s of the {spun:.2f} s it spun")


class DriverRegistry(E2ETestCase):
    KEY = VANTREL_KEY + r"\HarnessCheck"

    def test_values_of_each_type_round_trip(self):
        d = self.driver
        self.assertFalse(d.reg_key_exists(self.KEY))
        self.assertIsNone(d.reg_values(self.KEY))
        d.reg_set_sz(self.KEY, "Serial port", "COM 7 \u00e9")
        d.reg_set_dword(self.KEY, "Baud rate", 4294967295)
        d.reg_set_raw(self.KEY, "Odd", "REG_BINARY", b"\x00\x01\xff")
        self.assertEqual(d.reg_query(self.KEY, "Serial port"), ("REG_SZ", "COM 7 \u00e9"))
        self.assertEqual(d.reg_query(self.KEY, "Baud rate"), ("REG_DWORD", 4294967295))
        self.assertIsNone(d.reg_query(self.KEY, "Missing"))
        self.assertEqual(d.reg_values(self.KEY), {
            "Serial port": ("REG_SZ", "COM 7 \u00e9"),
            "Baud rate": ("REG_DWORD", 4294967295),
            "Odd": ("REG_BINARY", b"\x00\x01\xff"),
        })
        d.reg_delete_value(self.KEY, "Odd")
        self.assertNotIn("Odd", d.reg_values(self.KEY))
        d.reg_delete_tree(VANTREL_KEY)
        self.assertFalse(d.reg_key_exists(VANTREL_KEY))
        self.assertTrue(d.reg_key_exists(r"HKLM\Software"))
        d.reg_delete_tree(VANTREL_KEY)  # deleting what is gone is fine

    def test_every_session_starts_with_the_template_registry(self):
        self.assertFalse(self.driver.reg_key_exists(r"HKLM\Software\Orbenwick"))
        self.assertFalse(os.path.lexists(self.session.prefix / "dosdevices" / "com3"))


class StubVMBridging(E2ETestCase):
    PIPE = "HarnessPipe"

    def setUp(self):
        super().setUp()
        self.vm = self.session.vm(self.PIPE)
        self.client = self.session.pipe_client(self.PIPE)
        self.vm.wait_client()

    def test_bytes_cross_both_ways_unchanged(self):
        to_client = os.urandom(300_000)
        to_vm = os.urandom(200_000)
        sender = threading.Thread(target=self.vm.send, args=(to_client,))
        sender.start()
        self.client.send(to_vm)
        self.assertEqual(self.client.recv_exactly(len(to_client)), to_client)
        self.assertEqual(self.vm.recv_exactly(len(to_vm)), to_vm)
        sender.join(30)
        self.assertEqual(self.vm.stats(), (len(to_vm), len(to_client)))

    def test_pause_holds_the_client_writes_until_resume(self):
        self.vm.pause()
        self.client.send(b"x" * 50_000)
        self.assertEqual(self.vm.recv_for(1.0), b"")
        self.vm.resume()
        self.assertEqual(self.vm.recv_exactly(50_000), b"x" * 50_000)

    def test_disconnect_drops_the_client_and_listens_again(self):
        self.vm.disconnect()
        self.client.wait_line("pipe-server-gone")
        self.vm.wait_line("listening")
        second = self.session.pipe_client(self.PIPE)
        self.vm.wait_client()
        second.send(b"again")
        self.assertEqual(self.vm.recv_exactly(5), b"again")

    def test_client_leaving_is_reported_and_a_killed_vm_takes_its_pipe_along(self):
        self.assertEqual(self.driver.pipe_state(self.PIPE), "busy")  # one instance, in use
        self.client.close()
        self.vm.wait_client_gone()
        wait_for("the pipe to take clients again",
                 lambda: (self.driver.pipe_state(self.PIPE) == "available",
                          self.driver.pipe_state(self.PIPE)))
        self.vm.kill()
        wait_for("the pipe to disappear", lambda: (
            self.driver.pipe_state(self.PIPE) == "absent", self.driver.pipe_state(self.PIPE)))


class ComPortPair(E2ETestCase):
    def test_host_end_carries_bytes_and_comes_back_after_unplug(self):
        port = self.session.com_port("COM3")
        link = self.session.prefix / "dosdevices" / "com3"
        self.assertEqual(os.readlink(link), str(port.host_path))
        host = os.open(port.host_path, os.O_RDWR | os.O_NOCTTY)
        try:
            port.write(b"from device")
            self.assertEqual(os.read(host, 100), b"from device")
            os.write(host, b"to device")
            self.assertEqual(port.read_exactly(9, timeout=5), b"to device")
            with self.assertRaisesRegex(HarnessError, "got 0 of 1 bytes"):
                port.read_exactly(1, timeout=0.3)
        finally:
            os.close(host)
        port.unplug()
        self.assertFalse(port.host_path.exists())
        self.assertFalse(os.path.lexists(link))
        port.plug()
        host = os.open(port.host_path, os.O_RDWR | os.O_NOCTTY)
        try:
            os.write(host, b"back")
            self.assertEqual(port.read_exactly(4, timeout=5), b"back")
        finally:
            os.close(host)


if __name__ == "__main__":
    unittest.main()

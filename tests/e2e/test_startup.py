"""Start-up of the shipped Vantrel.exe from a fresh prefix: the first run's
registry store, the administrator and non-administrator paths, a missing COM
port, and a complete start that relays bytes both ways."""

import threading
import unittest

from harness import (ADMIN_REQUIRED, ADMIN_REQUIRED_CAPTION, DCD_LAMP, DEFAULT_CONFIG,
                     DEFAULT_CONFIG_CAPTION, DEFAULT_LINE, DEFAULT_STORE, DSR_LAMP, EXIT,
                     FAILURE_DIALOG, FAILURE_EXIT, FAILURE_MESSAGE, LINE_FIELDS,
                     LOOKING_FOR_PIPE, MAIN_CAPTION, OK, PIPE_FAILURE, RX_LAMP, SERIAL_FAILURE,
                     SERIAL_RECEIVED, SERIAL_SENT, STARTING_UP, START_TIMEOUT, TX_LAMP,
                     VANTREL_KEY, VENDOR_KEY, VIRTUAL_RECEIVED, VIRTUAL_SENT,
                     WAITING_FOR_CONNECTION, E2ETestCase, start_connected, wait_for)


class FirstStartWithoutPort(E2ETestCase):
    """An empty registry and no COM3: the defaults, then the serial failure dialog."""

    def test_administrator_gets_the_default_store_and_the_missing_port_dialog(self):
        driver = self.driver
        self.assertFalse(driver.reg_key_exists(VENDOR_KEY))
        vantrel = self.session.vantrel()

        window = vantrel.status_window()
        vantrel.wait_messages_contain(STARTING_UP)
        failure = vantrel.wait_window(FAILURE_DIALOG)
        self.screenshot("serial-failure")
        self.assertEqual(driver.text(failure, FAILURE_MESSAGE), SERIAL_FAILURE.format("COM3"))
        # Nothing is looked for before the port opens, so no status text yet.
        self.assertEqual(vantrel.status_line(), WAITING_FOR_CONNECTION)
        self.assertEqual(driver.reg_values(VANTREL_KEY), DEFAULT_STORE)
        self.assertEqual(vantrel.boxes(), [], "an administrator's first start shows no box")
        # The dialog has no owner: the status window stays usable meanwhile.
        self.assertTrue(driver.enabled(window, EXIT))

        driver.click(failure, FAILURE_EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)

    def test_non_administrator_is_told_and_the_registry_stays_untouched(self):
        driver = self.driver
        vantrel = self.session.vantrel(restricted=True)
        self.assertFalse(driver.is_admin(vantrel.pid))

        box = vantrel.wait_box(DEFAULT_CONFIG_CAPTION, timeout=START_TIMEOUT)
        self.screenshot("default-config")
        self.assertEqual(box.text, DEFAULT_CONFIG)
        self.assertEqual(list(box.buttons), [OK])
        # The window comes only once the notice has been read.
        self.assertIsNone(driver.find_window(vantrel.pid, MAIN_CAPTION))
        vantrel.press_box(box, OK)

        vantrel.status_window()
        vantrel.wait_messages_contain(STARTING_UP)
        self.assertEqual(vantrel.message_lines()[0], "Default configuration loaded")
        failure = vantrel.wait_window(FAILURE_DIALOG)
        self.assertFalse(driver.reg_key_exists(VENDOR_KEY))

        driver.click(failure, FAILURE_EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)
        self.assertFalse(driver.reg_key_exists(VENDOR_KEY))

    def test_keys_in_the_failure_dialog_and_a_port_plugged_in_meanwhile(self):
        driver = self.driver
        port = self.session.com_port("COM3", plugged=False)
        vantrel = self.session.vantrel(restricted=True)
        vantrel.press_box(vantrel.wait_box(DEFAULT_CONFIG_CAPTION, timeout=START_TIMEOUT), OK)
        failure = vantrel.wait_window(FAILURE_DIALOG)

        # Escape means Change configuration, which a non-administrator may not.
        driver.key(failure, "escape")
        refusal = vantrel.wait_box(ADMIN_REQUIRED_CAPTION)
        self.assertEqual(refusal.text, ADMIN_REQUIRED)
        vantrel.press_box(refusal, OK)
        self.assertEqual(driver.find_window(vantrel.pid, FAILURE_DIALOG), failure)

        # Enter means Retry: with the adapter back, start-up goes on to the pipe.
        port.plug()
        driver.key(failure, "enter")
        vantrel.wait_status_line(LOOKING_FOR_PIPE)
        pipe_failure = vantrel.wait_window(FAILURE_DIALOG)
        self.assertEqual(driver.text(pipe_failure, FAILURE_MESSAGE), PIPE_FAILURE.format("Vantrel"))
        self.screenshot("pipe-failure")
        driver.click(pipe_failure, FAILURE_EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)


class FirstStartWithPortAndVm(E2ETestCase):
    """COM3 and the virtual machine's pipe both there: a running relay."""

    def test_connects_shows_the_line_and_relays_both_ways(self):
        driver = self.driver
        port, vm, vantrel = start_connected(self.session)
        window = vantrel.status_window()
        self.assertEqual([vantrel.field(c) for c in LINE_FIELDS], DEFAULT_LINE)

        to_device = b"from the VM\x00\xff\r\n" + bytes(range(256))
        vm.send(to_device)
        self.assertEqual(port.read_exactly(len(to_device)), to_device)
        to_vm = b"device answers\x00\x11\x13" * 20
        port.write(to_vm)
        self.assertEqual(vm.recv_exactly(len(to_vm)), to_vm)

        for control, count in ((VIRTUAL_RECEIVED, len(to_device)), (SERIAL_SENT, len(to_device)),
                               (SERIAL_RECEIVED, len(to_vm)), (VIRTUAL_SENT, len(to_vm))):
            vantrel.wait_text(window, control, str(count))
        self.screenshot("connected")

        for lamp in (RX_LAMP, TX_LAMP, DCD_LAMP, DSR_LAMP):
            wait_for(f"lamp {lamp} at rest", lambda: (vantrel.indicator(lamp) == "grey",
                                                       driver.icon(window, lamp)))
        # The receive lamp lights while the device keeps sending.
        stop = threading.Event()

        def stream():
            while not stop.is_set():
                port.write(b"r" * 64)

        def drain():
            while not stop.is_set():
                vm.recv_for(0.2)

        workers = [threading.Thread(target=stream), threading.Thread(target=drain)]
        for worker in workers:
            worker.start()
        try:
            wait_for("the receive lamp to light", lambda: (vantrel.indicator(RX_LAMP) == "green",
                                                           driver.icon(window, RX_LAMP)))
            self.screenshot("receiving")
        finally:
            stop.set()
            for worker in workers:
                worker.join(30)
        wait_for("the receive lamp to go dark", lambda: (vantrel.indicator(RX_LAMP) == "grey",
                                                         driver.icon(window, RX_LAMP)))

        driver.click(window, EXIT)
        self.assertEqual(vantrel.wait_exit(), 0)
        vm.wait_client_gone()
        # A desk window's log is its user's, never the service's folder.
        logs = list(self.session.prefix.glob("drive_c/users/*/AppData/Local/Vantrel/Vantrel.log"))
        self.assertIn(b"Connected", logs[0].read_bytes() if logs else b"", "no log of the user's")
        self.assertFalse(self.session.program_data("Vantrel.log").exists())


if __name__ == "__main__":
    unittest.main()

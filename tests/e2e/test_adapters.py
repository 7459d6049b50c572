"""Ports with their adapters, through Wine's own SetupAPI (which lists the
devices the Enum key holds): --list-ports, the settings dialog's Choose...
and Follow this adapter, and a bridge that follows its adapter to the COM
name it has now."""

import json

from harness import (CHANGE_SETTINGS, CHOOSE_LIST, CHOOSE_PORT_DIALOG, DEVICE_VALUE, OK,
                     PTY_STORE, SAVE_CHANGES, SERIAL_PORT_FIELD, SET_CHOOSE_PORT,
                     SET_FOLLOW_ADAPTER, SET_SERIAL_PORT, SETTINGS_DIALOG,
                     SETTINGS_SAVED_CAPTION, VANTREL_KEY, E2ETestCase, register_com_device,
                     start_connected, store_with, write_store)

FTDI = "USB\\VID_0403&PID_6001\\A10K2QXY"
IDENTITY = "USB VID_0403 PID_6001 SN A10K2QXY"
LISTED = f"COM3  USB Serial Port (COM3)  {IDENTITY}"


class Adapters(E2ETestCase):
    def test_list_ports_names_each_port_with_its_adapter(self):
        register_com_device(self.driver, FTDI, "COM3", "USB Serial Port (COM3)")
        code, text = self.session.command("--list-ports")
        self.assertEqual((code, text.rstrip("\r\n")), (0, LISTED))
        code, text = self.session.command("--list-ports", "--json")
        self.assertEqual(code, 0, text)
        port, = json.loads(text)
        self.assertEqual((port["port"], port["instanceId"], port["serial"], port["device"]),
                         ("COM3", FTDI, "A10K2QXY", IDENTITY))

    def test_a_followed_adapter_is_opened_under_its_new_name_and_the_dialog_sets_device(self):
        driver = self.driver
        register_com_device(driver, FTDI, "COM3", "USB Serial Port (COM3)")
        # Last seen as COM5; SetupAPI has it as COM3 now.
        write_store(driver, store_with(PTY_STORE, **{"Serial port": "COM5"}))
        driver.reg_set_sz(VANTREL_KEY, DEVICE_VALUE, IDENTITY)
        _, _, vantrel = start_connected(self.session)
        vantrel.wait_messages_contain("The adapter A10K2QXY is now COM3\r\n")
        self.assertEqual(vantrel.field(SERIAL_PORT_FIELD), "COM3")
        self.assertEqual(driver.reg_query(VANTREL_KEY, "Serial port"), ("REG_SZ", "COM3"))

        # The dialog opens following it; Choose... lists the port by name and
        # identity; cleared and saved, Device is gone.
        driver.click(vantrel.status_window(), CHANGE_SETTINGS)
        settings = vantrel.wait_window(SETTINGS_DIALOG)
        self.assertEqual(driver.checked(settings, SET_FOLLOW_ADAPTER), 1)
        driver.set_text(settings, SET_SERIAL_PORT, "COM9")
        driver.click(settings, SET_CHOOSE_PORT)
        chooser = vantrel.wait_window(CHOOSE_PORT_DIALOG)
        self.assertEqual(driver.combo(chooser, CHOOSE_LIST)[1], [LISTED])
        driver.combo_select(chooser, CHOOSE_LIST, 0)
        driver.click(chooser, OK)
        vantrel.wait_window_gone(chooser)
        self.assertEqual(driver.text(settings, SET_SERIAL_PORT), "COM3")
        driver.click(settings, SET_FOLLOW_ADAPTER)
        driver.click(settings, SAVE_CHANGES)
        vantrel.press_box(vantrel.wait_box(SETTINGS_SAVED_CAPTION), OK)
        vantrel.wait_window_gone(settings)
        self.assertIsNone(driver.reg_query(VANTREL_KEY, DEVICE_VALUE))

        # Ticked again, it is filled from the adapter behind the port.
        driver.click(vantrel.status_window(), CHANGE_SETTINGS)
        settings = vantrel.wait_window(SETTINGS_DIALOG)
        driver.click(settings, SET_FOLLOW_ADAPTER)
        driver.click(settings, SAVE_CHANGES)
        vantrel.press_box(vantrel.wait_box(SETTINGS_SAVED_CAPTION), OK)
        vantrel.wait_window_gone(settings)
        self.assertEqual(driver.reg_query(VANTREL_KEY, DEVICE_VALUE), ("REG_SZ", IDENTITY))

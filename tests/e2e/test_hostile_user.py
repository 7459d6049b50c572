"""A standard local user cannot turn the service or fool those who use it:
each case lays what such a user may lay (a squatter on a pipe, a link where
ProgramData has its default rights). Wine keeps no access lists: who may
write where is tested below it, in access_rules_test."""

import os
import shutil
import unittest

from harness import (CONNECTED, OK, POSING, PTY_STORE, RESET, SERVICE_PIPE, VANTREL_KEY,
                     VIEWER_CAPTION, E2ETestCase, wait_for, write_store)
from test_relay import BothWays
from test_service import service_state


class HostileUserPipes(E2ETestCase):
    def start_service(self):
        # The default bridge relaying in the service; a standard user's viewer of it.
        session = self.session
        write_store(self.driver, PTY_STORE)
        self.port, self.vm = session.com_port("COM3"), session.vm("Vantrel")
        self.assertEqual(session.command("--install-service")[0], 0)
        self.addCleanup(session.command, "--uninstall-service")
        session.command("start", "Vantrel", program="sc")
        wait_for("the service to run", lambda: (service_state(session) == "RUNNING", None))
        return session.vantrel(restricted=True, caption=VIEWER_CAPTION)

    def test_a_squatter_on_the_service_pipe_is_named_and_not_listened_to(self):
        # The user takes the name before the service starts.
        squatter = self.session.vm(SERVICE_PIPE)
        viewer = self.start_service()
        box = viewer.wait_box("Vantrel")
        self.assertEqual(box.text, POSING)
        self.assertEqual(squatter.recv_for(0.5), b"", "the viewer told the squatter nothing")
        viewer.press_box(box, OK)
        # Once the name is free the service takes it and is shown.
        squatter.kill()
        viewer.wait_status_line(CONNECTED)

    def test_clients_that_hold_instances_and_say_nothing_hold_up_no_viewer(self):
        viewer = self.start_service()
        holders = [self.session.pipe_client(SERVICE_PIPE) for _ in range(3)]
        self.driver.click(viewer.status_window(), RESET)
        viewer.wait_messages_contain("Data counter reset")
        for holder in holders:
            holder.wait_line("pipe-server-gone")



class HostileUserFiles(E2ETestCase):
    def run_service(self, trace):
        """The default bridge as the service, relaying; its status window."""
        session = self.session
        write_store(self.driver, PTY_STORE)
        self.driver.reg_set_sz(VANTREL_KEY, "Trace file", trace)
        port, vm = session.com_port("COM3"), session.vm("Vantrel")
        code, text = session.command("--install-service")
        self.assertEqual(code, 0, text)
        self.addCleanup(session.command, "--uninstall-service")
        session.command("start", "Vantrel", program="sc")
        vm.wait_client(timeout=60)
        # Both ends open before any byte is sent: none is lost to the start.
        viewer = session.vantrel(caption=VIEWER_CAPTION)
        viewer.wait_status_line(CONNECTED)
        to_device, to_vm = os.urandom(4096), os.urandom(4096)
        self.assertEqual(BothWays(port, vm, to_device, to_vm, timeout=60).result(),
                         (to_device, to_vm))
        self.assertEqual(service_state(session), "RUNNING")
        return viewer

    def users_folder(self):
        folder = self.artifacts / "users-folder"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        return folder

    def test_a_linked_data_folder_is_not_written_through_and_the_bridge_relays_on(self):
        # ProgramData\Vantrel made first by the user, as a link to a folder of
        # theirs (Wine shows a symlink as a reparse point).
        elsewhere = self.users_folder()
        (self.session.prefix / "drive_c" / "ProgramData" / "Vantrel").symlink_to(elsewhere)
        viewer = self.run_service("C:\\ProgramData\\Vantrel\\trace-1.txt")
        viewer.wait_messages_contain(
            "No log file: The folder C:\\ProgramData\\Vantrel is not used: it is a reparse point")
        viewer.wait_messages_contain("Not tracing: The folder C:\\ProgramData\\Vantrel is not used")
        self.assertEqual(list(elsewhere.iterdir()), [])

    def test_linked_log_files_trace_paths_and_device_names_are_refused(self):
        folder = self.session.prefix / "drive_c" / "ProgramData" / "Vantrel"
        folder.mkdir(parents=True)
        (folder / "Vantrel.log").symlink_to(self.users_folder())
        viewer = self.run_service("C:\\Users\\Public\\trace.txt")
        viewer.wait_messages_contain("No log file: C:\\ProgramData\\Vantrel\\Vantrel.log is not "
                                     "written to: it is a reparse point")
        viewer.wait_messages_contain("Not tracing: the service traces only into files inside "
                                     "C:\\ProgramData\\Vantrel, not to C:\\Users\\Public\\trace.txt")
        self.assertFalse((self.session.prefix / "drive_c/users/Public/trace.txt").exists())

        for args, refusal in ((("--add-bridge", "COM1"), "is the name of a Windows device"),
                              (("--add-bridge", "nul.txt"), "is the name of a Windows device"),
                              (("--trace", "trace.txt"), "--trace needs the whole path")):
            code, text = self.session.command(*args)
            self.assertNotEqual(code, 0, args)
            self.assertIn(refusal, text)



if __name__ == "__main__":
    unittest.main()

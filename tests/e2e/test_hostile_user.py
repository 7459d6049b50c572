"""A standard local user cannot turn the service or fool those who use it."""

import unittest

from harness import (CONNECTED, OK, POSING, PTY_STORE, RESET, SERVICE_PIPE, VIEWER_CAPTION,
                     E2ETestCase, wait_for, write_store)
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


if __name__ == "__main__":
    unittest.main()

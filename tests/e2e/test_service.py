"""Vantrel as a Windows service under Wine's service control manager: every
bridge relays without a window, keeps its Messages in a file, recovers a
restarted VM, is shown by the status window as a viewer, and stops with the
service. (How fast it starts and stops is the benchmark's to measure.)"""

import os
import re
import unittest

from harness import (CONNECTED, EXIT, PTY_STORE, RESET, SERVICE_PIPE, E2ETestCase, bridge_key,
                     store_with, wait_for, write_store)
from test_relay import BothWays

LAB_STORE = store_with(PTY_STORE, **{"Serial port": "COM4", "Pipe name": "lab"})


def service_state(session):
    """RUNNING, STOPPED, ... as sc tells it; None when there is no such service."""
    _, text = session.command("query", "Vantrel", program="sc")
    state = re.search(r"STATE\s*:\s*\d+\s+(\w+)", text)
    return state.group(1) if state else None


class Service(E2ETestCase):
    def wait_state(self, state):
        wait_for(f"the service to be {state}",
                 lambda: (service_state(self.session) == state, service_state(self.session)))

    def exchange(self, port, vm, size=4096):
        to_device, to_vm = os.urandom(size), os.urandom(size)
        self.assertEqual(BothWays(port, vm, to_device, to_vm, timeout=60).result(),
                         (to_device, to_vm))

    def test_every_bridge_relays_recovers_is_viewed_and_stops_with_the_service(self):
        session, driver = self.session, self.driver
        write_store(driver, PTY_STORE)
        self.assertEqual(session.command("--add-bridge", "lab")[0], 0)
        write_store(driver, LAB_STORE, bridge_key("lab"))
        ports = {"": session.com_port("COM3"), "lab": session.com_port("COM4")}
        vms = {"": session.vm("Vantrel"), "lab": session.vm("lab")}

        code, text = session.command("--install-service")
        self.assertEqual(code, 0, text)
        self.assertIn("Installed the service Vantrel", text)
        self.addCleanup(session.command, "--uninstall-service")
        self.assertEqual(service_state(session), "STOPPED")
        session.command("start", "Vantrel", program="sc")
        self.wait_state("RUNNING")
        for name in vms:
            vms[name].wait_client()
            self.exchange(ports[name], vms[name])

        # The default bridge's VM restarts; the keeper brings it back.
        vms[""].kill()
        vms[""] = session.vm("Vantrel")
        vms[""].wait_client(timeout=30)
        self.exchange(ports[""], vms[""])

        # The status window shows the lab bridge as the service runs it.
        viewer = session.vantrel(args=("--bridge", "lab"), caption="Vantrel - lab (service)")
        viewer.wait_status_line(CONNECTED)
        viewer.wait_counters(4096, 4096, 4096, 4096)
        viewer.wait_messages_contain("Vantrel is starting up as a service")
        driver.click(viewer.status_window(), RESET)
        viewer.wait_counters(0, 0, 0, 0)
        viewer.wait_messages_contain("Data counter reset (was 4096, 4096, 4096, 4096)")
        driver.click(viewer.status_window(), EXIT)
        self.assertEqual(viewer.wait_exit(), 0)
        self.assertEqual(service_state(session), "RUNNING", "Exit closes only the window")

        # Requests too short, or far too long, are dropped unanswered and
        # leave the bridges relaying.
        for request in (b"\x00" * 10, os.urandom(100 * 1024)):
            client = session.pipe_client(SERVICE_PIPE)
            client.send(request)
            client.wait_line("pipe-server-gone")
            self.assertEqual(client.recv_for(0.2), b"")
            client.close()
        self.exchange(ports["lab"], vms["lab"])

        session.command("stop", "Vantrel", program="sc")
        self.wait_state("STOPPED")
        for vm in vms.values():
            vm.wait_client_gone()
        log = session.program_data("Vantrel.log").read_bytes().decode("utf-8")
        for line in ("Vantrel is starting up as a service", "Lost the virtual machine's pipe",
                     "The Vantrel service stopped"):
            self.assertIn(line, log)
        self.assertEqual(log.count("Connected to pipe\r\n"), 2, log)
        self.assertIn("Data counter reset", session.program_data("lab.log").read_bytes().decode())

        code, text = session.command("--uninstall-service")
        self.assertEqual((code, text.strip()), (0, "Removed the service Vantrel."))
        self.assertIsNone(service_state(session))


if __name__ == "__main__":
    unittest.main()

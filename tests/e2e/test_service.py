"""Vantrel as a Windows service under Wine's service control manager: every
bridge relays without a window, keeps its Messages in a file, recovers a
restarted VM, is shown by the status window as a viewer, and stops with the
service. (How fast it starts and stops is the benchmark's to measure.)"""

import json
import os
import re
import unittest

from harness import (CONNECTED, EXIT, NO_VM_HAS_PIPE, OK, PTY_STORE, RESET, SERVICE_PIPE,
                     VIEWER_CAPTION, E2ETestCase, bridge_key, parse_trace, store_with, wait_for,
                     write_store)
from test_relay import SAVE_AS_FILE_NAME, START_TRACE, STOP_TRACE, BothWays

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
        return to_device, to_vm

    def start_service(self):
        code, text = self.session.command("--install-service")
        self.assertEqual(code, 0, text)
        self.addCleanup(self.session.command, "--uninstall-service")
        self.session.command("start", "Vantrel", program="sc")
        self.wait_state("RUNNING")

    def wait_status(self, code, *args):
        """--status with args until it exits with code: what it printed."""
        wait_for(f"--status {args} to exit {code}", lambda: (
            (seen := self.session.command("--status", *args))[0] == code, seen))
        return self.session.command("--status", *args)[1]

    def test_bridges_are_followed_in_the_store_while_the_service_runs(self):
        session, driver = self.session, self.driver
        write_store(driver, PTY_STORE)
        # A bridge that takes its line from its port, which is not there yet.
        self.assertEqual(session.command("--add-bridge", "hw")[0], 0)
        hw_store = store_with(PTY_STORE, **{"Serial port": "COM6", "Pipe name": "hw"})
        write_store(driver, dict(hw_store, **{"Init from hardware": ("REG_DWORD", 1)}),
                    bridge_key("hw"))
        port, vm = session.com_port("COM3"), session.vm("Vantrel")
        self.start_service()
        vm.wait_client()

        # Bridge lab comes while a mebibyte streams each way through the default one.
        size = 1 << 20
        stream_bytes = os.urandom(size), os.urandom(size)
        stream = BothWays(port, vm, *stream_bytes, timeout=240)
        lab_ports = {"COM4": session.com_port("COM4"), "COM5": session.com_port("COM5")}
        lab_vm = session.vm("lab")
        self.assertEqual(session.command("--add-bridge", "lab")[0], 0)
        write_store(driver, LAB_STORE, bridge_key("lab"))
        self.wait_status(0, "--bridge", "lab")
        for trace, code in (("C:\\Users\\Public\\lab.txt", 1),
                            ("C:\\ProgramData\\Vantrel\\lab-trace.txt", 0)):
            self.assertEqual(session.command("--trace", trace, "--bridge", "lab")[0], code)
        traced = self.exchange(lab_ports["COM4"], lab_vm, 64 * 1024)
        self.assertEqual(stream.result(), stream_bytes)

        # The port of the hardware bridge appears.
        hw_port, hw_vm = session.com_port("COM6", plugged=False), session.vm("hw")
        hw_port.plug()
        self.wait_status(0, "--bridge", "hw")
        hw_port.write(b"from the hardware")
        self.assertEqual(hw_vm.recv_exactly(17), b"from the hardware")

        # Lab's port changes; later lab is removed: it lets go of both ends.
        self.assertTrue(lab_ports["COM4"].held())
        driver.reg_set_sz(bridge_key("lab"), "Serial port", "COM5")
        wait_for("lab to let go of COM4", lambda: (not lab_ports["COM4"].held(), None))
        self.wait_status(0, "--bridge", "lab")
        # The reopening ended the trace.
        ways, _ = parse_trace(session.program_data("lab-trace.txt").read_bytes().decode("utf-8"))
        self.assertEqual((ways["VM -> device"], ways["device -> VM"]), traced)
        # A value lab cannot read is logged once, and lab relays on as it was, on COM5.
        for rate in ("fast", "faster"):
            driver.reg_set_sz(bridge_key("lab"), "Baud rate", rate)
            wait_for("the unreadable rate to be logged", lambda: (
                "Couldn't read the settings" in
                session.program_data("lab.log").read_bytes().decode("utf-8"), None))
        self.exchange(lab_ports["COM5"], lab_vm)
        driver.reg_set_dword(bridge_key("lab"), "Baud rate", 256000)

        self.assertEqual(session.command("--remove-bridge", "lab")[0], 0)
        lab_vm.wait_client_gone()
        wait_for("lab to let go of COM5", lambda: (not lab_ports["COM5"].held(), None))

        viewer = session.vantrel(caption=VIEWER_CAPTION)
        viewer.wait_counters(size, size, size, size)
        log = session.program_data("lab.log").read_bytes().decode("utf-8")
        self.assertIn("Settings changed; reopening the COM port and the pipe", log)
        self.assertIn("The bridge was removed; it stopped", log)
        self.assertEqual(log.count("Couldn't read the settings"), 1, log)

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
        # Both ends of every bridge up: bytes sent before would be discarded.
        self.wait_status(0)
        for name in vms:
            vms[name].wait_client()
            self.exchange(ports[name], vms[name])

        # The default bridge's VM restarts; the keeper brings it back.
        # Meanwhile --status says whose the missing pipe is.
        session.hyperv([])
        vms[""].kill()
        self.wait_status(3)
        wait_for("--status to say whose the pipe is", lambda: (
            NO_VM_HAS_PIPE.format("Vantrel").strip() in (seen := session.command("--status")[1]),
            seen))
        vms[""] = session.vm("Vantrel")
        vms[""].wait_client(timeout=30)
        self.wait_status(0)
        self.exchange(ports[""], vms[""])

        # The status window shows the lab bridge as the service runs it.
        viewer = session.vantrel(args=("--bridge", "lab"), caption="Vantrel - lab (service)")
        viewer.wait_status_line(CONNECTED)
        viewer.wait_counters(4096, 4096, 4096, 4096)
        status = json.loads(self.wait_status(0, "--bridge", "lab", "--json"))
        self.assertEqual(status["version"], 1)
        (lab,) = status["bridges"]
        self.assertEqual((lab["name"], lab["pipe"]["state"], lab["serialPort"]["name"]),
                         ("lab", "connected", "COM4"))
        self.assertEqual(tuple(str(n) for n in lab["counters"].values()), viewer.counters())
        viewer.wait_messages_contain("Vantrel is starting up as a service")
        driver.click(viewer.status_window(), RESET)
        viewer.wait_counters(0, 0, 0, 0)
        viewer.wait_messages_contain("Data counter reset (was 4096, 4096, 4096, 4096)")
        # An administrator's "Start trace..." has the service trace the bridge.
        window, trace = viewer.status_window(), "C:\\ProgramData\\Vantrel\\viewer-trace.txt"
        driver.syscommand(window, START_TRACE)
        save_as = viewer.wait_window("Start trace")
        driver.set_text(save_as, SAVE_AS_FILE_NAME, trace)
        driver.click(save_as, OK)
        viewer.wait_messages_contain("Tracing the bytes of each way to " + trace)
        traced = self.exchange(ports["lab"], vms["lab"])
        driver.syscommand(window, STOP_TRACE)
        viewer.wait_messages_contain(f"The trace to {trace} stopped")
        ways, _ = parse_trace(session.program_data("viewer-trace.txt").read_bytes().decode("utf-8"))
        self.assertEqual((ways["VM -> device"], ways["device -> VM"]), traced)
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
        self.assertEqual(session.command("--status")[0], 1)


if __name__ == "__main__":
    unittest.main()

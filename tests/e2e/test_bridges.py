"""Several bridges on one host, each a COM port joined to a VM's pipe by a
Vantrel of its own: they relay independently, one's VM may restart without
disturbing the other, a port is never given to two bridges, and a second
start of a bridge brings the first forward."""

import os
import unittest

from harness import (CONNECTED, LOOKING_FOR_PIPE, PTY_STORE, START_TIMEOUT, E2ETestCase,
                     bridge_key, store_with, write_store)
from test_recovery import RETURN_DEADLINE
from test_relay import EDGE_BYTES, BothWays, RelayTestCase

BRIDGES = {"one": ("COM3", "one"), "two": ("COM4", "two")}


class BridgeTestCase(RelayTestCase):
    def add_bridge(self, name, port, pipe):
        code, text = self.session.command("--add-bridge", name)
        self.assertEqual(code, 0, text)
        write_store(self.driver, store_with(PTY_STORE, **{"Serial port": port, "Pipe name": pipe}),
                    bridge_key(name))

    def start(self, name, connected=True):
        vantrel = self.session.vantrel(args=("--bridge", name), caption=f"Vantrel - {name}")
        if connected:
            vantrel.wait_status_line(CONNECTED, timeout=START_TIMEOUT)
        return vantrel


class TwoBridges(BridgeTestCase):
    def test_each_relays_its_own_mebibyte_and_one_vm_restarts_while_the_other_flows(self):
        ends = {}
        for name, (port, pipe) in BRIDGES.items():
            self.add_bridge(name, port, pipe)
            ends[name] = (self.session.com_port(port), self.session.vm(pipe))
        windows = {name: self.start(name) for name in BRIDGES}

        size = 1 << 20
        payloads = {name: (EDGE_BYTES + os.urandom(size - len(EDGE_BYTES)), os.urandom(size))
                    for name in BRIDGES}
        transfers = {name: BothWays(*ends[name], *payloads[name], timeout=240) for name in BRIDGES}
        for name, transfer in transfers.items():
            got_device, got_vm = transfer.result()
            self.assertSameBytes(got_device, payloads[name][0], f"1 MiB to device {name}")
            self.assertSameBytes(got_vm, payloads[name][1], f"1 MiB to VM {name}")
            windows[name].wait_counters(size, size, size, size)

        # Bridge one's VM restarts while two carries a stream each way.
        to_device, to_vm = os.urandom(2 * size), os.urandom(2 * size)
        stream = BothWays(*ends["two"], to_device, to_vm, timeout=240)
        port_one, vm_one = ends["one"]
        vm_one.kill()
        windows["one"].wait_status_line(LOOKING_FOR_PIPE)
        vm_one = self.session.vm("one")
        windows["one"].wait_status_line(CONNECTED, timeout=RETURN_DEADLINE)
        vm_one.wait_client()
        got_device, got_vm = stream.result()
        self.assertSameBytes(got_device, to_device, "the stream to device two")
        self.assertSameBytes(got_vm, to_vm, "the stream to VM two")
        self.assertNoRelayTrouble(windows["two"])
        windows["two"].wait_counters(3 * size, 3 * size, 3 * size, 3 * size)
        vm_one.send(b"one is back")
        self.assertEqual(port_one.read_exactly(11), b"one is back")


class OneOwnerEach(BridgeTestCase):
    def test_a_shared_port_is_refused_a_second_start_brings_the_first_forward(self):
        self.add_bridge("one", "COM3", "one")
        port, vm = self.session.com_port("COM3"), self.session.vm("one")
        one = self.start("one")
        self.add_bridge("dup", "COM3", "dup")

        refused = self.start("dup", connected=False)
        box = refused.wait_box("Error")
        self.assertEqual(box.text, "Bridge dup and bridge one are both set to use COM port COM3; "
                                   "each bridge needs its own COM port and pipe.")
        refused.press_box(box, "OK")
        self.assertEqual(refused.wait_exit(), 1)

        again = self.start("one", connected=False)
        self.assertEqual(again.wait_exit(), 0)
        self.assertEqual(len(self.driver.windows(one.pid)), len(one.windows()))
        vm.send(b"still one")
        self.assertEqual(port.read_exactly(9), b"still one")

        # The commands, each with its exit code and what it says.
        for args, code, said in (
                (("--list-bridges",), 0, "dup  port COM3  pipe dup  256000 baud\r\n"
                                         "one  port COM3  pipe one  256000 baud"),
                (("--remove-bridge", "dup"), 0, "Removed bridge dup."),
                (("--remove-bridge", "dup"), 1, "There is no bridge dup."),
                (("--bridge", "nosuch"), 1, "There is no bridge nosuch."),
                (("--add-bridge", "one"), 1, "There is a bridge one already."),
                (("--add-bridge", "a b"), 2, "\"a b\" is not a bridge name")):
            exit_code, text = self.session.command(*args)
            self.assertEqual(exit_code, code, text)
            self.assertIn(said, text)


if __name__ == "__main__":
    unittest.main()

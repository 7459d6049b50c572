#!/usr/bin/env python3
"""Many bridges: the service with N bridges under Wine, each between its own
pty-backed COM port and its own stand-in VM, then the desk window with one.

    scripts/bench.sh --bridges 1,4,16 [--seconds S] [--idle-seconds I] [--no-desk]

For each N, in a fresh Wine session with the service installed and started
by the control manager:

  baseline      wineserver's processor use before the service starts (the
                stand-in VMs waiting for a client): what the prefix costs
                without the program, which is in every wineserver figure
  idle          processor use while every bridge is connected and nothing
                moves, in percent of one core: Vantrel.exe (the service),
                the prefix's wineserver, the stand-in VMs together
  line rate     every bridge offered the line rate both ways at once for S
                seconds: 256-byte chunks every 10 ms each way (25.6 KB/s), on
                a schedule of its own per bridge. Per bridge: KB/s delivered
                each way within the S seconds, bytes lost or out of place
                once the rest has drained, and the one-way delay of every
                chunk (from the write of its last byte on one end to the read
                of it on the other) as p50 and p99; processor use as above
  counts        the service's threads and handles, as Windows counts them
                (uidriver: the process's snapshot entry and
                GetProcessHandleCount)
  flat out      N = 1 only: both directions as fast as they go (at most
                128 KiB in flight each way), MB/s each way

and the desk window (Vantrel.exe with its status window, one bridge) offered
the line rate both ways: processor use of Vantrel.exe and wineserver, and how
often the counters visibly change, read from the window's text meanwhile.

The stand-in VMs are Wine programs too: wineserver serves them as well as
the service, so its figure is the prefix's whole share, the VMs' part in it.
Everything runs on the same cores as the measured program (socat, the
stand-ins, this script): the figures are noisy on a loaded machine.

Exit status 1 when a byte is lost or changed, or a bridge falls behind the
line rate; the other targets are printed beside the figures, not judged.
"""

import argparse
import math
import os
import random
import selectors
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
sys.path.insert(0, str(REPO / "tests" / "bench"))
sys.path.insert(0, str(REPO / "scripts"))

from harness import (COUNTERS, PTY_STORE, SERIAL_SENT, HarnessError, WineSession,  # noqa: E402
                     bridge_key, start_connected, store_with, wait_for, write_store)
from relay_bench import percentile, process_seconds, wineserver_seconds  # noqa: E402
from soak import service_pid  # noqa: E402
from test_service import service_state  # noqa: E402

CHUNK, PERIOD = 256, 0.010  # the line rate: 25.6 KB/s each way
IN_FLIGHT = 128 * 1024
# What the service is built to (printed beside the figures).
TARGETS = {
    "per bridge CPU": 4.0,      # Vantrel.exe + wineserver, % of a core per bridge at the line rate
    "16 bridges CPU": 64.0,     # the same for sixteen at once
    "16 idle CPU": 0.3,         # sixteen bridges idle
    "1 idle CPU": 0.1,
    "line-rate p99": 10.0,      # ms, every bridge
    "flat out": 4.0,            # MB/s each way, one bridge
    "desk CPU": 10.0,           # desk window at the line rate, together
    "desk updates": 5.0,        # counter changes a second while bytes flow
}


class Way:
    """One direction of one bridge: what was sent when, what came back. The
    stream is a random block over and over, so that a flat-out run needs no
    more memory than a slow one."""

    BLOCK = 1 << 20

    def __init__(self, seed):
        self.block = random.Random(seed).randbytes(self.BLOCK)
        self.sent = 0
        self.received = 0
        self.out_of_place = 0
        self.due = []       # (end offset of a chunk, time its last byte was written)
        self.delays = []
        self.at_deadline = None

    def piece(self, start, end):
        """The stream's bytes from start to end (at most a block)."""
        at = start % self.BLOCK
        piece = self.block[at:at + end - start]
        return piece + self.block[:end - start - len(piece)]


class Bridge:
    def __init__(self, session, number, com):
        self.name = f"b{number}"
        self.com = com
        self.port = session.com_port(com)
        self.vm = session.vm(self.name)
        self.device = self.port._fd
        self.sock = self.vm.socket
        self.sock.setblocking(False)


def free_com_names(session, count):
    names, number = [], 3
    while len(names) < count:
        if not os.path.lexists(session.prefix / "dosdevices" / f"com{number}"):
            names.append(f"COM{number}")
        number += 1
    return names


def write_end(bridge, to_vm_socket, data):
    try:
        if to_vm_socket:
            return os.write(bridge.sock.fileno(), data)
        return os.write(bridge.device, data)
    except BlockingIOError:
        return 0


def read_end(fd):
    try:
        return os.read(fd, 65536)
    except BlockingIOError:
        return b""


def run_traffic(bridges, seconds, readers, rate=True):
    """Every bridge both ways at once for seconds, each way a chunk every
    PERIOD (rate) or flat out; then drains. Returns per-bridge ways and the
    processor use of readers over the seconds."""
    ways = {}
    selector = selectors.DefaultSelector()
    phase = random.Random(len(bridges))
    for n, bridge in enumerate(bridges):
        # vm-to-device is written to the VM's socket and read on the device.
        ways[bridge.name] = {
            "vm-to-device": Way(f"{n}-v"), "device-to-vm": Way(f"{n}-d")}
        bridge.offset = phase.uniform(0, PERIOD)
        selector.register(bridge.device, selectors.EVENT_READ, (bridge, "vm-to-device"))
        selector.register(bridge.sock.fileno(), selectors.EVENT_READ, (bridge, "device-to-vm"))
    before = {name: read() for name, read in readers.items()}
    started = time.monotonic()
    deadline = started + seconds
    drain_until = None
    while True:
        now = time.monotonic()
        sending = now < deadline
        if not sending:
            for bridge in bridges:
                for way in ways[bridge.name].values():
                    if way.at_deadline is None:
                        way.at_deadline = way.received
            if drain_until is None:
                elapsed = now - started
                after = {name: read() for name, read in readers.items()}
                drain_until = now + 60
            if now > drain_until or all(w.received >= w.sent for b in ways.values()
                                        for w in b.values()):
                break
        next_due = deadline if sending else now + 0.05
        if sending:
            for bridge in bridges:
                for direction, way in ways[bridge.name].items():
                    if rate:
                        target = CHUNK * (1 + math.floor((now - started - bridge.offset) /
                                                         PERIOD))
                        next_due = min(next_due, started + bridge.offset +
                                       PERIOD * (target // CHUNK))
                    else:
                        target = way.received + IN_FLIGHT
                    target = min(target, way.sent + IN_FLIGHT)
                    if way.sent < target:
                        taken = write_end(bridge, direction == "vm-to-device",
                                          way.piece(way.sent, target))
                        if taken:
                            way.sent += taken
                            if rate:
                                way.due.append((way.sent, time.perf_counter()))
                    elif not rate:
                        next_due = min(next_due, now + 0.002)
        for key, _ in selector.select(max(0.0, min(next_due, deadline if sending else next_due)
                                          - time.monotonic())):
            bridge, direction = key.data
            data = read_end(key.fd)
            if not data:
                continue
            way = ways[bridge.name][direction]
            arrived = time.perf_counter()
            expected = way.piece(way.received, way.received + len(data))
            if data != expected:
                way.out_of_place += sum(1 for a, b in zip(data, expected) if a != b)
            way.received += len(data)
            while way.due and way.due[0][0] <= way.received:
                way.delays.append(1000 * (arrived - way.due.pop(0)[1]))
    selector.close()
    used = {name: None if after[name] is None or before[name] is None else
            100 * (after[name] - before[name]) / elapsed for name in readers}
    return ways, used


def measure_idle(readers, seconds):
    before = {name: read() for name, read in readers.items()}
    started = time.monotonic()
    time.sleep(seconds)  # the span measured; nothing touches the program
    elapsed = time.monotonic() - started
    return {name: None if before[name] is None else 100 * (read() - before[name]) / elapsed
            for name, read in readers.items()}


def service_unix_pid(session):
    pid = service_pid(session)
    if pid is None:
        raise HarnessError("the service's process is not found")
    return pid


def cpu_readers(session, pid, vms):
    def stand_ins():
        values = [process_seconds(vm.process.pid) for vm in vms]
        return None if None in values else sum(values)
    return {"Vantrel.exe": lambda: process_seconds(pid),
            "wineserver": lambda: wineserver_seconds(session.prefix),
            "stand-in VMs": stand_ins,
            "this script": lambda: sum(os.times()[:2])}


def cpu_text(used):
    return ", ".join(f"{name} {'n/a' if v is None else f'{v:.2f} %'}" for name, v in used.items())


def together(used):
    return (used["Vantrel.exe"] or 0) + (used["wineserver"] or 0)


def one_service(count, args):
    print(f"--- the service with {count} bridge(s)", flush=True)
    result = {"count": count}
    with WineSession() as session:
        driver = session.driver()
        coms = free_com_names(session, count)
        bridges = []
        for n, com in enumerate(coms):
            name = f"b{n}"
            if session.command("--add-bridge", name)[0] != 0:
                raise HarnessError(f"--add-bridge {name} failed")
            write_store(driver, store_with(PTY_STORE, **{"Serial port": com, "Pipe name": name}),
                        bridge_key(name))
            bridges.append(Bridge(session, n, com))
        code, text = session.command("--install-service")
        if code != 0:
            raise HarnessError(f"--install-service: {text}")
        try:
            # What the prefix costs without the service: Wine's own
            # processes, the stand-ins waiting for a client, the driver.
            baseline = measure_idle({"wineserver": lambda: wineserver_seconds(session.prefix)},
                                    args.idle_seconds)["wineserver"]
            result["baseline"] = baseline
            print(f"before the service starts, over {args.idle_seconds:g} s: wineserver "
                  f"{'n/a' if baseline is None else f'{baseline:.2f} %'}", flush=True)
            session.command("start", "Vantrel", program="sc")
            for bridge in bridges:
                bridge.vm.wait_client(timeout=120)
            pid = service_unix_pid(session)
            readers = cpu_readers(session, pid, [b.vm for b in bridges])
            time.sleep(2)  # start-up's last work done before the idle span
            result["idle"] = measure_idle(readers, args.idle_seconds)
            print(f"idle over {args.idle_seconds:g} s: {cpu_text(result['idle'])}", flush=True)

            ways, used = run_traffic(bridges, args.seconds, readers)
            result["rate"], result["rate_cpu"] = ways, used
            failed = False
            for bridge in bridges:
                parts = []
                for direction, way in ways[bridge.name].items():
                    kbps = way.at_deadline / args.seconds / 1000
                    lost = max(0, way.sent - way.received) + way.out_of_place
                    failed = failed or lost > 0 or kbps < 0.95 * CHUNK / PERIOD / 1000
                    parts.append(f"{direction} {kbps:.1f} KB/s, lost or changed {lost}, "
                                 f"p50 {percentile(way.delays, 0.5):.1f} ms, "
                                 f"p99 {percentile(way.delays, 0.99):.1f} ms")
                print(f"  {bridge.name} ({bridge.com}): " + "; ".join(parts), flush=True)
            result["failed"] = failed
            print(f"line rate, all {count} at once for {args.seconds:g} s: {cpu_text(used)}; "
                  f"Vantrel.exe + wineserver {together(used):.1f} % "
                  f"({together(used) / count:.2f} % a bridge)", flush=True)
            status = Path(f"/proc/{pid}/status").read_text()
            linux_threads = int(status.split("Threads:")[1].split()[0])
            _, threads, handles = driver.call("process", "Vantrel.exe")
            descriptors = len(os.listdir(f"/proc/{pid}/fd"))
            # Wine 8 answers GetProcessHandleCount with 0; the Linux process's
            # descriptors (Wine keeps one for each file, pipe and socket it
            # has open) stand in for it then.
            result["threads"] = int(threads)
            result["handles"] = int(handles) if int(handles) else f"{descriptors} fd"
            print(f"counts: {threads} threads ({linux_threads} Linux threads with Wine's own), "
                  f"{handles} handles as Wine counts them, {descriptors} descriptors",
                  flush=True)
            if count == 1:
                ways, used = run_traffic(bridges, args.seconds, readers, rate=False)
                flat = {d: w.at_deadline / args.seconds / 1e6 for d, w in ways["b0"].items()}
                lost = sum(max(0, w.sent - w.received) + w.out_of_place
                           for w in ways["b0"].values())
                result["flat"] = flat
                result["failed"] = result["failed"] or lost > 0
                print("flat out: " + ", ".join(f"{d} {v:.2f} MB/s" for d, v in flat.items()) +
                      f"; lost or changed {lost}; {cpu_text(used)}", flush=True)
            session.command("stop", "Vantrel", program="sc")
            wait_for("the service to stop", lambda: (service_state(session) == "STOPPED", None),
                     timeout=60)
        finally:
            session.command("--uninstall-service")
    return result


def counter_updates(driver, window, seconds):
    """Changes of the SerialSent counter's text a second, read as often as
    the driver answers."""
    changes, last = 0, None
    ended = time.monotonic() + seconds
    while time.monotonic() < ended:
        text = driver.system_text(window, SERIAL_SENT)
        if text != last:
            changes += last is not None
            last = text
        time.sleep(0.01)
    return changes / seconds


def desk_window(args):
    print("--- the desk window, one bridge", flush=True)
    with WineSession() as session:
        port, vm, vantrel = start_connected(session, PTY_STORE)
        bridge = type("DeskBridge", (), {})()
        bridge.name, bridge.com, bridge.port, bridge.vm = "desk", "COM3", port, vm
        bridge.device = os.open(port.device_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        bridge.sock = vm.socket
        bridge.sock.setblocking(False)
        readers = {"Vantrel.exe": vantrel.cpu_seconds,
                   "wineserver": lambda: wineserver_seconds(session.prefix),
                   "stand-in VMs": lambda: process_seconds(vm.process.pid),
                   "this script": lambda: sum(os.times()[:2])}
        try:
            idle = measure_idle(readers, args.idle_seconds)
            print(f"idle over {args.idle_seconds:g} s: {cpu_text(idle)}", flush=True)
            ways, used = run_traffic([bridge], args.seconds, readers)
            lost = sum(max(0, w.sent - w.received) + w.out_of_place for w in ways["desk"].values())
            print(f"line rate for {args.seconds:g} s: {cpu_text(used)}; Vantrel.exe + "
                  f"wineserver {together(used):.1f} %; lost or changed {lost}", flush=True)
            # The counters are read in a span of their own, so that the reading
            # is not in the processor figures.
            window = vantrel.status_window()
            rate = {}
            reader = threading.Thread(target=lambda: rate.setdefault(
                "value", counter_updates(session.driver(), window, 5)))
            reader.start()
            run_traffic([bridge], 6, readers)
            reader.join()
            print(f"counter updates while bytes flow: {rate['value']:.1f} a second", flush=True)
        finally:
            os.close(bridge.device)
    return {"idle": idle, "cpu": used, "lost": lost, "updates": rate["value"]}


def idle_parts(r):
    """What of an idle figure the prefix cost before the service started."""
    baseline = r.get("baseline")
    before = "n/a" if baseline is None else f"{baseline:.2f} %"
    return f"wineserver before the service started {before}, Vantrel.exe alone " \
           f"{r['idle']['Vantrel.exe']:.2f} %"


def summary(services, desk):
    print("=== summary (targets beside each figure; noisy on a shared machine)")
    print(f"{'bridges':>7} | {'idle CPU':>9} | {'line rate CPU':>13} | {'a bridge':>8} | "
          f"{'KB/s min':>8} | {'lost':>4} | {'p50 max':>7} | {'p99 max':>7} | {'threads':>7} | "
          f"{'handles':>7}")
    for r in services:
        ways = [w for b in r["rate"].values() for w in b.values()]
        kbps = min(w.at_deadline for w in ways) / SECONDS / 1000
        lost = sum(max(0, w.sent - w.received) + w.out_of_place for w in ways)
        p50 = max(percentile(w.delays, 0.5) for w in ways)
        p99 = max(percentile(w.delays, 0.99) for w in ways)
        print(f"{r['count']:>7} | {together(r['idle']):>7.2f} % | {together(r['rate_cpu']):>11.1f} % "
              f"| {together(r['rate_cpu']) / r['count']:>6.2f} % | {kbps:>8.1f} | {lost:>4} | "
              f"{p50:>4.1f} ms | {p99:>4.1f} ms | {r['threads']:>7} | {r['handles']:>7}")
    print("(CPU: Vantrel.exe + wineserver, % of one core; p50/p99: one-way delay of a chunk at "
          "the line rate, worst bridge and way)")
    for r in services:
        count = r["count"]
        per = together(r["rate_cpu"]) / count
        print(f"target {count} bridge(s): a bridge at the line rate {per:.2f} % "
              f"(at most {TARGETS['per bridge CPU']:g} %)")
        if count == 16:
            print(f"target 16 bridges: together {together(r['rate_cpu']):.1f} % (at most "
                  f"{TARGETS['16 bridges CPU']:g} %); idle {together(r['idle']):.2f} % "
                  f"(at most {TARGETS['16 idle CPU']:g} %; {idle_parts(r)})")
        if count == 1:
            print(f"target 1 bridge: idle {together(r['idle']):.2f} % (at most "
                  f"{TARGETS['1 idle CPU']:g} %; {idle_parts(r)})")
            if "flat" in r:
                print("target 1 bridge flat out: " + ", ".join(
                    f"{d} {v:.2f} MB/s" for d, v in r["flat"].items()) +
                    f" (at least {TARGETS['flat out']:g} MB/s each way)")
        p99 = max(percentile(w.delays, 0.99) for b in r["rate"].values() for w in b.values())
        print(f"target {count} bridge(s): worst p99 at the line rate {p99:.1f} ms "
              f"(at most {TARGETS['line-rate p99']:g} ms)")
    if desk is not None:
        print(f"target desk window at the line rate: {together(desk['cpu']):.1f} % together "
              f"(Vantrel.exe {desk['cpu']['Vantrel.exe']:.1f} %, wineserver "
              f"{desk['cpu']['wineserver']:.1f} %; at most {TARGETS['desk CPU']:g} %); "
              f"{desk['updates']:.1f} counter updates a second (at least "
              f"{TARGETS['desk updates']:g})")


SECONDS = 20.0


def main():
    global SECONDS
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bridges", required=True,
                        help="bridge counts to run, comma-separated (e.g. 1,4,16)")
    parser.add_argument("--seconds", type=float, default=20, help="length of each traffic phase")
    parser.add_argument("--idle-seconds", type=float, default=20)
    parser.add_argument("--no-desk", action="store_true", help="leave out the desk window")
    args = parser.parse_args()
    try:
        counts = [int(c) for c in args.bridges.split(",")]
    except ValueError:
        parser.error("--bridges takes bridge counts separated by commas, e.g. 1,4,16")
    if any(c < 1 or c > 64 for c in counts):
        parser.error("--bridges takes counts from 1 to 64")
    SECONDS = args.seconds
    services = [one_service(count, args) for count in counts]
    desk = None if args.no_desk else desk_window(args)
    summary(services, desk)
    failed = any(r["failed"] for r in services) or (desk is not None and desk["lost"] > 0)
    print("result: " + ("BYTES LOST OR CHANGED, or a bridge fell behind the line rate" if failed
                        else "every byte of every bridge intact, the line rate kept"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

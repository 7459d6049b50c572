"""The soak run behind scripts/soak.sh.

Four bridges of one service, each with its own pty-backed COM port and
stand-in VM. Each way of each bridge carries a stream of numbered records
(magic, sequence number, length, payload, check byte) at a rate that changes
every few seconds, from a trickle to flat out. Meanwhile each VM restarts
every 20 to 60 s (the stand-in drops its client and listens again), each COM
port is pulled every 30 to 90 s and plugged back a few seconds later, and
once a minute one bridge is reloaded and one reset through the service's
control pipe.

At the end every way of every bridge is accounted for:
  offered     bytes the sender's end took (the pty, the stand-in's pipe)
  read        bytes Vantrel read from that end (its counters, summed over the
              resets its log records)
  delivered   bytes Vantrel wrote to the other end
  discarded   bytes Vantrel counted as dropped, by reason (its log)
  unexplained read - delivered - discarded: must be 0
  lost outside  offered - read, and delivered - received: bytes that were in
              a pty's or a pipe's buffer when it went away, which no program
              on this side of the buffer can save (reported, not judged)
and the receiver's view of the stream: records repeated or out of order, and
records whose check fails, must be 0.
"""

import argparse
import os
import random
import re
import select
import struct
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from harness import (PTY_STORE, WineSession, bridge_key, store_with,  # noqa: E402
                     wait_for, write_store)

BRIDGES = [(f"soak{n}", f"COM{n + 2}") for n in range(1, 5)]
MAGIC = b"\xa5\x5a"
RATES = [2_000, 25_600, 200_000, None]  # bytes a second; None: flat out
# The service's request record (app/viewer_protocol.h): magic, version,
# command, bridge, reserved, messagesFrom, traceFile.
REQUEST = struct.Struct("<IHH66sH4xQ512s")
VIEWER_VERSION = int(re.search(r"kViewerVersion = (\d+);",
                               (REPO / "app" / "viewer_protocol.h").read_text()).group(1))
RESET, RELOAD = 2, 3


def record(sequence, rng):
    payload = bytes((sequence * 31 + i * 7) & 0xFF for i in range(rng.randrange(1, 200)))
    body = MAGIC + struct.pack("<IB", sequence, len(payload)) + payload
    return body + bytes([sum(body) & 0xFF])


class StreamCheck:
    """The receiving side of one way: parses records, resyncing after gaps."""

    def __init__(self):
        self.buffer = bytearray()
        self.last = -1
        self.records = self.out_of_order = self.failed_checks = self.skipped = 0
        self.received = 0

    def take(self, data):
        self.received += len(data)
        self.buffer += data
        while len(self.buffer) >= 8:
            if self.buffer[:2] != MAGIC:
                at = self.buffer.find(MAGIC, 1)
                cut = at if at > 0 else len(self.buffer) - 1
                self.skipped += cut
                del self.buffer[:cut]
                continue
            sequence, length = struct.unpack_from("<IB", self.buffer, 2)
            size = 7 + length + 1
            if len(self.buffer) < size:
                return
            body = bytes(self.buffer[:size - 1])
            expected = bytes((sequence * 31 + i * 7) & 0xFF for i in range(length))
            if sum(body) & 0xFF != self.buffer[size - 1] or body[7:] != expected:
                # A fragment cut by a gap, or a corrupted record: skip one byte.
                self.failed_checks += 1
                self.skipped += 1
                del self.buffer[:1]
                continue
            if sequence <= self.last:
                self.out_of_order += 1
            self.last = sequence
            self.records += 1
            del self.buffer[:size]


class Way:
    def __init__(self):
        self.offered = 0
        self.check = StreamCheck()
        self.rate = None


class Bridge:
    def __init__(self, session, name, com, rng):
        self.name, self.com, self.rng = name, com, rng
        self.port = session.com_port(com)
        self.vm = session.vm(name)
        self.lock = threading.Lock()  # the pty's descriptor, while it is pulled
        self.ways = {"device-to-vm": Way(), "vm-to-device": Way()}
        self.restarts = self.unplugs = 0

    def fd(self):
        return self.port._fd


def pace(way, size, started, sent):
    if way.rate is not None:
        ahead = sent / way.rate - (time.monotonic() - started)
        if ahead > 0:
            time.sleep(min(ahead, 0.2))


def device_sender(bridge, stop, rng):
    way, sequence, started, sent = bridge.ways["device-to-vm"], 0, time.monotonic(), 0
    pending = b""
    while not stop.is_set():
        if not pending:
            pending = record(sequence, rng)
            sequence += 1
        with bridge.lock:
            fd = bridge.fd()
            written = 0
            if fd is not None and select.select([], [fd], [], 0)[1]:
                try:
                    written = os.write(fd, pending)
                except (BlockingIOError, OSError):
                    written = 0
        if written == 0:
            time.sleep(0.01)
            continue
        way.offered += written
        sent += written
        pending = pending[written:]
        pace(way, written, started, sent)


def device_receiver(bridge, stop):
    check = bridge.ways["vm-to-device"].check
    while not stop.is_set():
        with bridge.lock:
            fd = bridge.fd()
            data = b""
            if fd is not None and select.select([fd], [], [], 0)[0]:
                try:
                    data = os.read(fd, 65536)
                except (BlockingIOError, OSError):
                    data = b""
        if data:
            check.take(data)
        else:
            time.sleep(0.005)


def vm_sender(bridge, stop, rng):
    way, sequence, started, sent = bridge.ways["vm-to-device"], 0, time.monotonic(), 0
    while not stop.is_set():
        piece = record(sequence, rng)
        sequence += 1
        bridge.vm.send(piece)
        sent += len(piece)
        pace(way, len(piece), started, sent)


def vm_receiver(bridge, stop):
    check = bridge.ways["device-to-vm"].check
    sock = bridge.vm.socket
    # The sender writes through the same socket: the receiver waits with
    # select and leaves the socket's time-out, which the sender's sendall
    # goes by, alone.
    while not stop.is_set():
        if not select.select([sock], [], [], 0.2)[0]:
            continue
        try:
            data = sock.recv(65536)
        except OSError:
            continue
        if data:
            check.take(data)
        else:
            time.sleep(0.005)


def control(session, command, name):
    client = session.pipe_client("Orbenwick.Vantrel.Service")
    bridge = name.encode("utf-16-le").ljust(66, b"\0")
    client.send(REQUEST.pack(0x52544E56, VIEWER_VERSION, command, bridge, 0, 0, b""))
    client.recv_for(1.0)
    client.close()


def disrupt(session, bridges, stop, minutes, rng, log):
    now = time.monotonic()
    due = {}
    for bridge in bridges:
        due[(bridge.name, "restart")] = now + rng.uniform(20, 60)
        due[(bridge.name, "unplug")] = now + rng.uniform(30, 90)
        due[(bridge.name, "rate")] = now
    due[("all", "control")] = now + 60
    while not stop.is_set():
        key = min(due, key=due.get)
        if stop.wait(max(0.0, due[key] - time.monotonic())):
            return
        name, what = key
        bridge = next((b for b in bridges if b.name == name), None)
        if what == "rate":
            for way in bridge.ways.values():
                way.rate = rng.choice(RATES)
            due[key] = time.monotonic() + rng.uniform(2, 10)
        elif what == "restart":
            bridge.vm.disconnect(reopen_after_ms=rng.randrange(200, 3000))
            bridge.restarts += 1
            due[key] = time.monotonic() + rng.uniform(20, 60)
        elif what == "unplug":
            with bridge.lock:
                bridge.port.unplug()
            stop.wait(rng.uniform(1, 5))
            with bridge.lock:
                bridge.port.plug()
            bridge.unplugs += 1
            due[key] = time.monotonic() + rng.uniform(30, 90)
        else:
            control(session, RELOAD, rng.choice(bridges).name)
            control(session, RESET, rng.choice(bridges).name)
            due[key] = time.monotonic() + 60
        log(f"{name} {what}")


def service_pid(session):
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if b"Vantrel.exe" not in (entry / "cmdline").read_bytes():
                continue
            environ = (entry / "environ").read_bytes()
        except OSError:
            continue
        if f"WINEPREFIX={session.prefix}".encode() in environ:
            return int(entry.name)
    return None


def resources(pid):
    status = Path(f"/proc/{pid}/status").read_text()
    rss = int(re.search(r"VmRSS:\s+(\d+)", status).group(1))
    threads = int(re.search(r"Threads:\s+(\d+)", status).group(1))
    return {"memory KiB": rss, "threads": threads,
            "descriptors": len(os.listdir(f"/proc/{pid}/fd"))}


DISCARD = re.compile(r"(\d+) bytes from the (serial port|pipe) were discarded"
                     r"( while the \w+(?: \w+)? was away| when the relay stopped|: the [\w ]+ "
                     r"refused them)")
LEFT_BEHIND = re.compile(r"Bytes left behind! \( (\d+)\)")
COUNTERS = re.compile(r"Data counter reset \(was (-?\d+), (-?\d+), (-?\d+), (-?\d+)\)")


def read_log(session, name):
    text = ""
    for suffix in (".3", ".2", ".1", ""):
        path = session.program_data(f"{name}.log{suffix}")
        if path.exists():
            text += path.read_bytes().decode("utf-8", "replace")
    return text


def ledger(text):
    totals = [0, 0, 0, 0]
    for match in COUNTERS.finditer(text):
        for i in range(4):
            totals[i] += int(match.group(i + 1)) & 0xFFFFFFFF
    discarded = {"device-to-vm": {}, "vm-to-device": {}}
    for match in DISCARD.finditer(text):
        way = "device-to-vm" if match.group(2) == "serial port" else "vm-to-device"
        reason = match.group(3).strip(" :")
        discarded[way][reason] = discarded[way].get(reason, 0) + int(match.group(1))
    for match in LEFT_BEHIND.finditer(text):
        reason = "the pipe refused them"
        discarded["device-to-vm"][reason] = discarded["device-to-vm"].get(reason, 0) + int(
            match.group(1))
    # VirtualReceived, VirtualSent, SerialReceived, SerialSent
    return {"device-to-vm": (totals[2], totals[1]), "vm-to-device": (totals[0], totals[3])}, \
        discarded


def main():
    parser = argparse.ArgumentParser(description="Vantrel's soak run")
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    started = time.monotonic()

    def log(text):
        print(f"[{time.monotonic() - started:8.1f} s] {text}", flush=True)

    failures = []
    with WineSession() as session:
        driver = session.driver()
        for name, com in BRIDGES:
            session.command("--add-bridge", name)
            write_store(driver, store_with(PTY_STORE, **{"Serial port": com, "Pipe name": name}),
                        bridge_key(name))
        bridges = [Bridge(session, name, com, random.Random(rng.random())) for name, com in BRIDGES]
        code, text = session.command("--install-service")
        if code != 0:
            raise SystemExit(f"--install-service: {text}")
        session.command("start", "Vantrel", program="sc")
        for bridge in bridges:
            bridge.vm.wait_client(timeout=120)
        pid = service_pid(session)
        log(f"service running (pid {pid}); soaking for {args.minutes:g} minutes")

        stop = threading.Event()
        threads = []
        for bridge in bridges:
            for target, extra in ((device_sender, (random.Random(rng.random()),)),
                                  (device_receiver, ()),
                                  (vm_sender, (random.Random(rng.random()),)),
                                  (vm_receiver, ())):
                threads.append(threading.Thread(target=target, args=(bridge, stop, *extra),
                                                daemon=True))
        threads.append(threading.Thread(target=disrupt, daemon=True,
                                        args=(session, bridges, stop, args.minutes, rng, log)))
        for thread in threads:
            thread.start()
        samples = []
        end = started + args.minutes * 60
        while time.monotonic() < end:
            time.sleep(min(10, max(0, end - time.monotonic())))
            samples.append((time.monotonic(), resources(pid)))
        stop.set()
        for thread in threads:
            thread.join(30)

        # Let the last bytes through, then a last Reset for the counters.
        for bridge in bridges:
            if not bridge.port.plugged:
                bridge.port.plug()

        def quiet():
            before = [w.check.received for b in bridges for w in b.ways.values()]
            time.sleep(3)
            return [w.check.received for b in bridges for w in b.ways.values()] == before
        drain_stop = threading.Event()
        drain = [threading.Thread(target=f, args=(b, drain_stop), daemon=True)
                 for b in bridges for f in (device_receiver, vm_receiver)]
        for thread in drain:
            thread.start()
        wait_for("the last bytes to arrive", lambda: (quiet(), None), timeout=120)
        drain_stop.set()
        for thread in drain:
            thread.join(5)
        for bridge in bridges:
            control(session, RESET, bridge.name)
        wait_for("the last resets in the logs",
                 lambda: (all(read_log(session, b.name).count("Data counter reset") >= 1
                              for b in bridges), None), timeout=60)

        print(f"\n=== soak: {args.minutes:g} minutes, seed {args.seed}")
        for bridge in bridges:
            counts, discarded = ledger(read_log(session, bridge.name))
            to_tcp, from_tcp = bridge.vm.stats()
            print(f"{bridge.name} ({bridge.com}): {bridge.restarts} VM restarts, "
                  f"{bridge.unplugs} unplugs")
            for way_name, way in bridge.ways.items():
                read, written = counts[way_name]
                offered = way.offered if way_name == "device-to-vm" else from_tcp
                received = to_tcp if way_name == "device-to-vm" else way.check.received
                dropped = sum(discarded[way_name].values())
                unexplained = read - written - dropped
                check = way.check
                reasons = ", ".join(f"{n} {r}" for r, n in discarded[way_name].items()) or "none"
                print(f"  {way_name}: offered {offered}, read {read}, delivered {written}, "
                      f"discarded {dropped} ({reasons}), unexplained {unexplained}; "
                      f"lost outside: {offered - read} before, {written - received} after; "
                      f"{check.records} records, {check.out_of_order} repeated or out of order, "
                      f"{check.skipped} bytes of cut records skipped")
                if unexplained != 0:
                    failures.append(f"{bridge.name} {way_name}: {unexplained} bytes unexplained")
                if check.out_of_order:
                    failures.append(f"{bridge.name} {way_name}: {check.out_of_order} out of order")
                if check.skipped and offered - read + written - received + dropped == 0:
                    failures.append(f"{bridge.name} {way_name}: corrupted bytes with no loss")
        tenth = max(1, len(samples) // 10)
        first, last = samples[:tenth], samples[-tenth:]
        for key in samples[0][1]:
            early = max(s[1][key] for s in first)
            # The system's thread pool (the log writers, the VM look-ups)
            # adds workers while it is busy and lets them go when idle, each
            # with a few descriptors under Wine: what leaks raises the
            # floor, so threads and descriptors are judged by the last
            # tenth's lowest sample.
            pick = max if key == "memory KiB" else min
            late = pick(s[1][key] for s in last)
            print(f"service {key}: {early} in the first tenth, {late} in the last "
                  f"(highest {max(s[1][key] for s in last)})")
            # Some slack for what the allocator and Wine keep.
            if late > early * 1.10 + (2048 if key == "memory KiB" else 2):
                failures.append(f"the service's {key} grew from {early} to {late}")
        session.command("stop", "Vantrel", program="sc")
        session.command("--uninstall-service")
    for failure in failures:
        print(f"FAILED: {failure}")
    print("soak: " + ("FAILED" if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

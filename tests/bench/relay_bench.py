#!/usr/bin/env python3
"""Relay benchmark: the shipped Vantrel.exe under Wine, between a pty-backed
COM3 and the stand-in VM's pipe, started as the end-to-end tests start it.

    scripts/bench.sh [--runs N] [--seconds S] [--probes P] [--idle-seconds I]

Each run starts a fresh Wine session with the store at 256000 baud and flow
control a pty passes, and measures, in this order:

  idle CPU      Vantrel's processor time while connected and idle, in percent
                of one core (from /proc of its Linux process); beside it the
                stand-in VM's and the prefix's wineserver's (the server is
                shared by all three programs of the prefix), which show what
                else runs on the cores meanwhile
  latency       one-way delay of P small probes in each direction, sent one
                at a time with a random gap, p50 and p99; measured from the
                test's write on one end to its read on the other, so the
                stand-in VM (TCP and its pipe) and socat's pty hop are in it
  throughput    both directions busy at once for S seconds, twice: flat out
                (at most 128 KiB on the way in each direction), then with
                each direction offered the line rate, 25.6 KB/s. Per
                direction: KB/s that reached the far end within the S
                seconds, and how long the rest took to arrive once the
                senders stopped; everything is compared with what was sent:
                bytes lost and bytes out of place must both be 0. Processor
                use of Vantrel, the stand-in VM and wineserver meanwhile.
  counters      at the end, Vantrel's four counters against the bytes moved
  trace         the line-rate phase again with a trace of both directions
                running (Vantrel started anew with --trace): what the trace
                adds to Vantrel's processor use, at most 5 % of a core
  waiting CPU   Vantrel's processor time while it waits for a lost end: the
                stand-in VM switched off, then (with it back) COM3 pulled out;
                it may cost at most twice the idle figure and 2 % of a core
  service       the service installed and started by the control manager:
                how soon it reports running, and how soon it has stopped
                after a stop request, at most 2 s each

The summary sets the figures beside the targets the relay is built to: at
most 0.3 % of a core idle and while a lost end is retried, one-way latency
p99 at most 4 ms, both directions flat out at once at least 200 KB/s each,
the line rate kept each way with no backlog, nothing lost or out of place.

A pty has no baud limit, so the figures are the program's own (and the
stand-in VM's). The target is the fastest line the settings offer, 256000
baud: both directions offered 25.6 KB/s at once must get through with no
backlog left. Flat out the device side of a pty sends many times faster than
any such line, and on two cores that flood can
starve the other direction; those figures are printed for what they show,
and only a lost or changed byte counts against them. Exit status 1 when the
line rate is not kept, a byte is lost or changed, the counters are wrong,
waiting for a lost end costs more than it may, or the stand-in VM did not
idle (5 % of a core or more) while nothing moved, so that the figures are
not the program's own.
"""

import argparse
import os
import random
import select
import statistics
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from harness import (BAUD_FIELD, CONNECTED, COUNTERS, EXIT, LOOKING_FOR_PIPE,  # noqa: E402
                     PTY_STORE, SERIAL_LOST, START_TIMEOUT, HarnessError, WineSession,
                     start_connected)
from test_service import service_state  # noqa: E402

# What the relay is built to (the summary judges each run's figures by them).
TARGETS = {"idle CPU": 0.3, "waiting CPU": 0.3, "latency p99": 4.0, "flat out": 200.0,
           "trace CPU": 5.0, "service": 2.0}

TARGET_KBPS = 25.6
# Waiting for a lost end may cost this much more than being connected and
# idle: twice the idle figure and 2 % of a core besides.
WAITING_FACTOR, WAITING_EXTRA = 2.0, 2.0
# The stand-in VM shares the two cores with the program measured: above this
# idle figure the program's own figures are not fair.
VM_IDLE_LIMIT = 5.0
PIECE = 4096
IN_FLIGHT = 128 * 1024


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


def wineserver_seconds(prefix):
    """Processor time of the wineserver that serves this prefix."""
    marker = f"WINEPREFIX={prefix}".encode()
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(f"/proc/{entry.name}/cmdline", "rb") as f:
                command = f.read().split(b"\0")[0]
            if not command.endswith(b"wineserver") and not command.endswith(b"wineserver64"):
                continue
            with open(f"/proc/{entry.name}/environ", "rb") as f:
                if marker not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{entry.name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except OSError:
            continue
    return None


class Ends:
    """Raw, non-blocking access to the device's end of COM3 and the VM's socket."""

    def __init__(self, port, vm):
        self.port = port
        self.device = os.open(port.device_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.sock = vm.socket
        self.sock.setblocking(False)

    def close(self):
        os.close(self.device)

    def write_device(self, data, deadline):
        view = memoryview(data)
        while view:
            if time.monotonic() > deadline:
                return len(data) - len(view)
            _, ready, _ = select.select([], [self.device], [], 0.2)
            if ready:
                try:
                    view = view[os.write(self.device, view):]
                except BlockingIOError:
                    pass
        return len(data)

    def write_vm(self, data, deadline):
        view = memoryview(data)
        while view:
            if time.monotonic() > deadline:
                return len(data) - len(view)
            _, ready, _ = select.select([], [self.sock], [], 0.2)
            if ready:
                try:
                    view = view[self.sock.send(view):]
                except BlockingIOError:
                    pass
        return len(data)

    def read_device(self, timeout):
        ready, _, _ = select.select([self.device], [], [], timeout)
        if not ready:
            return b""
        try:
            return os.read(self.device, 65536)
        except BlockingIOError:
            return b""

    def read_vm(self, timeout):
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            return b""
        try:
            data = self.sock.recv(65536)
        except BlockingIOError:
            return b""
        if not data:
            raise HarnessError("the stand-in VM closed its socket")
        return data


def process_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_readers(vantrel, vm, session):
    """Processor seconds so far of Vantrel, the stand-in VM and the prefix's
    wineserver."""
    return {"vantrel": vantrel.cpu_seconds,
            "vm": lambda: process_seconds(vm.process.pid),
            "wineserver": lambda: wineserver_seconds(session.prefix)}


def measure_idle_cpu(readers, seconds):
    """Percent of one core used by each of readers while nothing moves."""
    before = {name: read() for name, read in readers.items()}
    started = time.monotonic()
    time.sleep(seconds)  # the span measured; nothing touches the program
    elapsed = time.monotonic() - started
    used = {}
    for name, read in readers.items():
        after = read()
        used[name] = None if after is None or before[name] is None else \
            100 * (after - before[name]) / elapsed
    return used


def measure_latency(ends, probes, direction, rng):
    """One-way delays in ms of probes sent one at a time."""
    if direction == "vm-to-device":
        send, receive = ends.write_vm, ends.read_device
    else:
        send, receive = ends.write_device, ends.read_vm
    delays = []
    for number in range(probes):
        probe = number.to_bytes(4, "big") + b"\xa5\x5a\x00\xff"
        started = time.perf_counter()
        send(probe, time.monotonic() + 10)
        got = b""
        deadline = time.monotonic() + 10
        while len(got) < len(probe):
            if time.monotonic() > deadline:
                raise HarnessError(f"probe {number} {direction} lost: got {got!r}")
            got += receive(1.0)
        delays.append(1000 * (time.perf_counter() - started))
        if got != probe:
            raise HarnessError(f"probe {number} {direction} changed: {got!r} for {probe!r}")
        # A random gap, so that the probes do not fall into step with the
        # relay's polling.
        time.sleep(rng.uniform(0.005, 0.05))
    return delays


class Stream:
    """An endless pseudo-random byte stream, made and checked block by block,
    so that a long or fast run needs no more memory than a short one."""

    BLOCK = 65536

    def __init__(self, seed, direction):
        self.key = f"{seed}-{direction}"
        self.sent = 0
        self.received = 0
        self.out_of_place = 0
        self._out = b""
        self._out_block = 0
        self._in = bytearray()
        self._in_block = 0

    def block(self, number):
        return random.Random(f"{self.key}-{number}").randbytes(self.BLOCK)

    def next_piece(self, size):
        if not self._out:
            self._out = self.block(self._out_block)
            self._out_block += 1
        piece, self._out = self._out[:size], self._out[size:]
        return piece

    def unsend(self, piece, taken):
        """Puts back what a write at the deadline did not take."""
        self._out = piece[taken:] + self._out

    def take(self, data):
        self.received += len(data)
        self._in += data
        while len(self._in) >= self.BLOCK:
            self._check(bytes(self._in[:self.BLOCK]))
            del self._in[:self.BLOCK]

    def finish(self):
        if self._in:
            self._check(bytes(self._in))
            self._in.clear()

    def _check(self, got):
        expected = self.block(self._in_block)[:len(got)]
        self._in_block += 1
        if got != expected:
            self.out_of_place += sum(1 for a, b in zip(got, expected) if a != b)


def measure_throughput(ends, cpu_readers, seconds, seed, rate=None):
    """Both directions at once for seconds, flat out or each offered rate
    bytes/s; then drains and compares. Per direction: KB/s delivered within
    the seconds, bytes sent, lost, out of place and extra, and how long the
    drain took; and the processor use of each of cpu_readers meanwhile."""
    streams = {d: Stream(seed, d) for d in ("vm-to-device", "device-to-vm")}
    at_deadline = {}
    drained_at = {}
    errors = []
    started = time.monotonic()
    deadline = started + seconds

    def sender(direction, write):
        stream = streams[direction]
        try:
            while time.monotonic() < deadline:
                # Socket and pty buffers would otherwise take megabytes ahead
                # of the relay, and the drain after the deadline with them.
                ahead = stream.sent - stream.received > IN_FLIGHT
                early = rate is not None and stream.sent >= rate * (time.monotonic() - started)
                if ahead or early:
                    time.sleep(0.002)
                    continue
                piece = stream.next_piece(PIECE if rate is None else min(PIECE, 256))
                taken = write(piece, deadline)
                stream.sent += taken
                if taken < len(piece):
                    stream.unsend(piece, taken)
        except Exception as error:  # reported by the caller
            errors.append(error)

    def receiver(direction, read):
        stream = streams[direction]
        try:
            drain_until = None
            while True:
                now = time.monotonic()
                if now >= deadline and direction not in at_deadline:
                    at_deadline[direction] = stream.received
                if now >= deadline and not any(t.is_alive() for t in senders):
                    if stream.received >= stream.sent:
                        drained_at[direction] = now
                        return
                    drain_until = drain_until or now + 60
                    if now > drain_until:
                        return
                stream.take(read(0.05))
        except Exception as error:  # reported by the caller
            errors.append(error)

    senders = [threading.Thread(target=sender, args=("vm-to-device", ends.write_vm)),
               threading.Thread(target=sender, args=("device-to-vm", ends.write_device))]
    receivers = [threading.Thread(target=receiver, args=("vm-to-device", ends.read_device)),
                 threading.Thread(target=receiver, args=("device-to-vm", ends.read_vm))]
    cpu = {name: read() for name, read in cpu_readers.items()}
    for thread in senders + receivers:
        thread.start()
    for thread in senders:
        thread.join()
    elapsed = time.monotonic() - started
    busy_cpu = {}
    for name, read in cpu_readers.items():
        after = read()
        busy_cpu[name] = None if after is None or cpu[name] is None else \
            100 * (after - cpu[name]) / elapsed
    for thread in receivers:
        thread.join()
    if errors:
        raise errors[0]

    results = {}
    for direction, stream in streams.items():
        stream.finish()
        results[direction] = {
            "kbps": at_deadline.get(direction, stream.received) / seconds / 1000,
            "sent": stream.sent,
            "lost": max(0, stream.sent - stream.received),
            "extra": max(0, stream.received - stream.sent),
            "out_of_place": stream.out_of_place,
            "drain_s": drained_at[direction] - deadline if direction in drained_at else None,
        }
    return results, busy_cpu


def wait_counters(vantrel, moved):
    """The four counters once they show the bytes moved: (shown, expected)."""
    expected = [moved["vm-to-device"], moved["device-to-vm"], moved["device-to-vm"],
                moved["vm-to-device"]]
    deadline = time.monotonic() + 10
    while True:
        shown = [int(vantrel.field(c)) for c in COUNTERS]
        if shown == expected or time.monotonic() > deadline:
            return shown, expected
        time.sleep(0.2)


def describe_cpu(used, digits):
    return ", ".join(f"{name} {'n/a' if value is None else f'{value:.{digits}f} %'}"
                     for name, value in used.items() if name != "vantrel")


def one_run(number, args):
    print(f"--- run {number}", flush=True)
    phases = {"flat out": None, "at line rate": TARGET_KBPS * 1000}
    run = {"throughput": {}}
    with WineSession() as session:
        port, vm, vantrel = start_connected(session, PTY_STORE)
        print(f"line: the store says 256000 baud; the port reports "
              f"{vantrel.field(BAUD_FIELD)} (Wine on a pty), which does not limit a pty",
              flush=True)
        ends = Ends(port, vm)
        moved = {"vm-to-device": 0, "device-to-vm": 0}
        try:
            readers = cpu_readers(vantrel, vm, session)
            used = measure_idle_cpu(readers, args.idle_seconds)
            run["idle"], run["idle_server"], run["idle_vm"] = \
                used["vantrel"], used["wineserver"], used["vm"]
            print(f"idle CPU: Vantrel {used['vantrel']:.2f} % of one core over "
                  f"{args.idle_seconds:g} s (beside it: {describe_cpu(used, 2)})", flush=True)

            rng = random.Random(number)
            run["latency"] = {}
            for direction in moved:
                delays = measure_latency(ends, args.probes, direction, rng)
                moved[direction] += 8 * args.probes
                run["latency"][direction] = (percentile(delays, 0.5), percentile(delays, 0.99))
                print(f"latency {direction}: p50 {percentile(delays, 0.5):.1f} ms, "
                      f"p99 {percentile(delays, 0.99):.1f} ms, max {max(delays):.1f} ms "
                      f"over {args.probes} probes", flush=True)

            for phase, rate in phases.items():
                results, busy = measure_throughput(ends, readers, args.seconds,
                                                   f"{number}-{phase}", rate)
                run["throughput"][phase] = (results, busy)
                for direction, r in results.items():
                    moved[direction] += r["sent"]
                    drain = "never" if r["drain_s"] is None else f"{r['drain_s']:.2f} s"
                    print(f"throughput {phase}, {direction}: {r['kbps']:.1f} KB/s delivered "
                          f"within {args.seconds:g} s with both directions busy "
                          f"({verdict(r, rate)}); {r['sent']} bytes sent, lost {r['lost']}, "
                          f"out of place {r['out_of_place']}, extra {r['extra']}; the rest "
                          f"arrived {drain} after the senders stopped", flush=True)
                print(f"busy CPU {phase}: Vantrel {busy['vantrel']:.1f} % of one core "
                      f"(beside it: {describe_cpu(busy, 1)})", flush=True)
        finally:
            ends.close()
        shown, expected = wait_counters(vantrel, moved)
        run["counters_ok"] = shown == expected
        print(f"counters: {'match the bytes moved' if run['counters_ok'] else 'WRONG'} "
              f"(shown {shown}, expected {expected})", flush=True)

        # The line rate again, traced both ways.
        session.driver().click(vantrel.status_window(), EXIT)
        vantrel.wait_exit()
        vantrel = session.vantrel(args=("--trace", "C:\\bench-trace.txt"))
        vantrel.wait_status_line(CONNECTED, timeout=START_TIMEOUT)
        vm.wait_client()
        ends = Ends(port, vm)
        try:
            results, busy = measure_throughput(ends, cpu_readers(vantrel, vm, session),
                                               args.seconds, f"{number}-trace", TARGET_KBPS * 1000)
        finally:
            ends.close()
        untraced = run["throughput"]["at line rate"][1]["vantrel"]
        run["trace_cpu"] = busy["vantrel"] - untraced
        traced = (session.prefix / "drive_c" / "bench-trace.txt").stat().st_size
        print(f"trace at line rate: Vantrel {busy['vantrel']:.1f} % of one core, "
              f"{run['trace_cpu']:+.1f} % against no trace; {traced} bytes of trace; "
              + ", ".join(f"{d} {verdict(r, TARGET_KBPS * 1000)}" for d, r in results.items()),
              flush=True)

        # Waiting for a lost end: the VM switched off, then, with it back,
        # the port pulled. The program looks for the lost end every 5 s.
        vm.kill()
        run["waiting"] = {"the pipe": measure_waiting(vantrel, LOOKING_FOR_PIPE, "the pipe",
                                                      args.idle_seconds, run["idle"])}
        session.vm("Vantrel")
        vantrel.wait_status_line(CONNECTED, timeout=60)
        port.unplug()
        run["waiting"]["the COM port"] = measure_waiting(vantrel, SERIAL_LOST, "the COM port",
                                                         args.idle_seconds, run["idle"])
        session.driver().click(vantrel.status_window(), EXIT)
        vantrel.wait_exit()
        port.plug()
        run["service"] = measure_service(session)
    return run


def measure_service(session):
    """Seconds from "sc start" until the service reports running, and from
    "sc stop" until it has stopped."""
    code, text = session.command("--install-service")
    if code != 0:
        raise HarnessError(f"--install-service: {text}")
    times = {}
    try:
        for command, state in (("start", "RUNNING"), ("stop", "STOPPED")):
            started = time.monotonic()
            session.command(command, "Vantrel", program="sc")
            while service_state(session) != state:
                if time.monotonic() - started > 60:
                    raise HarnessError(f"the service is not {state} after 60 s")
            times[command] = time.monotonic() - started
    finally:
        session.command("--uninstall-service")
    print(f"service: running {times['start']:.2f} s after sc start, stopped "
          f"{times['stop']:.2f} s after sc stop (each as sc reports it)", flush=True)
    return times


def measure_waiting(vantrel, status, end, seconds, idle):
    """Percent of one core Vantrel uses while its status line says it waits
    for a lost end."""
    vantrel.wait_status_line(status)
    used = measure_idle_cpu({"vantrel": vantrel.cpu_seconds}, seconds)["vantrel"]
    print(f"waiting CPU for {end}: Vantrel {used:.2f} % of one core over {seconds:g} s "
          f"({waiting_verdict(used, idle)})", flush=True)
    return used


def waiting_verdict(waiting, idle):
    return "ok" if waiting <= WAITING_FACTOR * idle + WAITING_EXTRA else \
        "COSTS MORE THAN BEING IDLE"


def verdict(result, rate):
    """ok, or what falls short: flat out, a lost or changed byte (a rate
    below the line's is only noted); at the line rate, more than a second's
    worth still on its way at the end."""
    if result["lost"] or result["out_of_place"] or result["extra"]:
        return "BYTES LOST OR CHANGED"
    if rate is None:
        return "ok" if result["kbps"] >= TARGET_KBPS else f"ok (below {TARGET_KBPS} KB/s)"
    return "ok" if result["drain_s"] is not None and result["drain_s"] <= 1.0 else \
        "FALLS BEHIND the line"


def spread(values, unit, digits=1):
    values = [v for v in values if v is not None]
    if not values:
        return "n/a"
    if len(values) == 1:
        return f"{values[0]:.{digits}f} {unit}"
    return (f"median {statistics.median(values):.{digits}f} {unit} "
            f"(min {min(values):.{digits}f}, max {max(values):.{digits}f})")


def judge_targets(runs):
    """Prints each run's figures beside the targets; True when one is missed."""
    figures = {
        "idle CPU": ([r["idle"] for r in runs], "%", "at most"),
        "waiting CPU": ([max(r["waiting"].values()) for r in runs], "%", "at most"),
        "latency p99": ([max(v[1] for v in r["latency"].values()) for r in runs], "ms",
                        "at most"),
        "flat out": ([min(x["kbps"] for x in r["throughput"]["flat out"][0].values())
                      for r in runs], "KB/s", "at least"),
        "trace CPU": ([r["trace_cpu"] for r in runs], "%", "at most"),
        "service": ([max(r["service"].values()) for r in runs], "s", "at most"),
    }
    missed = False
    for name, (values, unit, sense) in figures.items():
        target = TARGETS[name]
        met = all(v <= target if sense == "at most" else v >= target for v in values)
        missed = missed or not met
        print(f"target {name} {sense} {target:g} {unit}: {spread(values, unit, 2)} "
              f"({'met' if met else 'NOT MET'})")
    return missed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=20,
                        help="length of each two-way throughput phase")
    parser.add_argument("--probes", type=int, default=200, help="latency probes each way")
    parser.add_argument("--idle-seconds", type=float, default=20)
    args = parser.parse_args()

    runs = [one_run(n, args) for n in range(1, args.runs + 1)]

    print(f"=== summary of {len(runs)} run(s)")
    failed = not all(r["counters_ok"] for r in runs)
    for phase, rate in (("flat out", None), ("at line rate", TARGET_KBPS * 1000)):
        for direction in ("vm-to-device", "device-to-vm"):
            results = [r["throughput"][phase][0][direction] for r in runs]
            verdicts = [verdict(result, rate) for result in results]
            bad = sum(1 for v in verdicts if not v.startswith("ok"))
            lost = sum(x["lost"] + x["out_of_place"] + x["extra"] for x in results)
            print(f"throughput {phase}, {direction}: "
                  f"{spread([x['kbps'] for x in results], 'KB/s')}; lost or changed: {lost}; "
                  f"short of the target in {bad} of {len(runs)}")
            failed = failed or bad > 0
        print(f"busy CPU {phase}: Vantrel "
              f"{spread([r['throughput'][phase][1]['vantrel'] for r in runs], '%')} of one "
              f"core; wineserver "
              f"{spread([r['throughput'][phase][1]['wineserver'] for r in runs], '%')}")
    for direction in ("vm-to-device", "device-to-vm"):
        print(f"latency {direction}: p50 {spread([r['latency'][direction][0] for r in runs], 'ms')}"
              f", p99 {spread([r['latency'][direction][1] for r in runs], 'ms')}")
    print(f"idle CPU: Vantrel {spread([r['idle'] for r in runs], '%', 2)} of one core; "
          f"stand-in VM {spread([r['idle_vm'] for r in runs], '%', 1)}; "
          f"wineserver {spread([r['idle_server'] for r in runs], '%', 1)}")
    unfair = [r["idle_vm"] for r in runs if r["idle_vm"] is None or r["idle_vm"] >= VM_IDLE_LIMIT]
    if unfair:
        print(f"the stand-in VM did not idle (limit {VM_IDLE_LIMIT:g} % of a core): the "
              f"figures above are not the program's own")
    for end in ("the pipe", "the COM port"):
        costly = sum(1 for r in runs if waiting_verdict(r["waiting"][end], r["idle"]) != "ok")
        print(f"waiting CPU for {end}: Vantrel "
              f"{spread([r['waiting'][end] for r in runs], '%', 2)} of one core; more than "
              f"{WAITING_FACTOR:g} x idle + {WAITING_EXTRA:g} % in {costly} of {len(runs)}")
        failed = failed or costly > 0
    failed = failed or bool(unfair)
    failed = judge_targets(runs) or failed
    print("result: " + ("SHORT OF THE TARGET, bytes lost, counters wrong, waiting costly or the "
                        "stand-in VM busy" if failed else
                        f"{TARGET_KBPS} KB/s each way kept at once, nothing lost, waiting cheap"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

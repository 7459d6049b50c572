#!/usr/bin/env python3
"""Vantrel's main job, shown on Linux: a stand-in for a Hyper-V virtual
machine's COM pipe on one side, a scripted modem-like device on a pty pair on
the other, and the shipped Vantrel.exe under Wine joining the two.

The virtual machine sends a few commands; the device answers each; both
conversations are printed as each side received them, followed by the byte
counters the status window shows. A screenshot of the status window is saved
as artifacts/demo/status-window.png. Everything started here is stopped at
the end."""

import os
import subprocess
import sys
import threading
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from harness import (ARTIFACTS, EXIT, SERIAL_RECEIVED, SERIAL_SENT, VIRTUAL_RECEIVED,  # noqa: E402
                     VIRTUAL_SENT, WineSession, start_connected)

# What the scripted device answers to each command line from the VM.
ANSWERS = {
    b"AT": b"OK\r\n",
    b"ATI": b"Vantrel demo device 1.0\r\nOK\r\n",
    b"AT+TEMP?": b"+TEMP: 21.5 C\r\nOK\r\n",
    b"AT+ECHO=\x00\xff": b"+ECHO: \x00\xff\r\nOK\r\n",
}
COMMANDS = [b"AT", b"ATI", b"AT+TEMP?", b"AT+ECHO=\x00\xff"]


def shown(data):
    return data.decode("latin-1").encode("unicode_escape").decode("ascii")


def run_device(port, seen, stop):
    """Reads command lines from the pty and answers each one."""
    pending = b""
    while not stop.is_set():
        pending += port.read_for(0.2)
        while b"\r" in pending:
            line, pending = pending.split(b"\r", 1)
            seen.append(line + b"\r")
            port.write(ANSWERS.get(line, b"ERROR\r\n"))


def crop_to_window(session, driver, window, source, target):
    left, top, right, bottom = driver.rect(window)
    subprocess.run(["convert", str(source), "-crop",
                    f"{right - left}x{bottom - top}+{left}+{top}", "+repage", str(target)],
                   check=True, timeout=60)


def main():
    out = ARTIFACTS / "demo"
    out.mkdir(parents=True, exist_ok=True)
    # On the user's screen when there is one, otherwise on a private Xvfb.
    with WineSession(log_dir=out, display=os.environ.get("DISPLAY") or None) as session:
        driver = session.driver()
        print("Starting the stand-in virtual machine (pipe \\\\.\\pipe\\Vantrel) and the device on COM3")
        print("Starting Vantrel.exe under Wine (5 s splash) ...")
        port, vm, vantrel = start_connected(session)
        print("Vantrel status line: Connected\n")

        device_saw = []
        stop = threading.Event()
        device = threading.Thread(target=run_device, args=(port, device_saw, stop), daemon=True)
        device.start()

        vm_saw = b""
        sent = 0
        for command in COMMANDS:
            vm.send(command + b"\r")
            sent += len(command) + 1
            answer = ANSWERS[command]
            vm_saw += vm.recv_exactly(len(answer))
        stop.set()
        device.join(timeout=10)

        print("The device received (from the virtual machine, through Vantrel):")
        for line in device_saw:
            print("   ", shown(line))
        print("The virtual machine received (from the device, through Vantrel):")
        for line in vm_saw.split(b"\r\n")[:-1]:
            print("   ", shown(line))

        window = vantrel.status_window()
        answered = len(vm_saw)
        counters = {}
        for name, control, expected in (("Virtual received", VIRTUAL_RECEIVED, sent),
                                        ("Virtual sent", VIRTUAL_SENT, answered),
                                        ("Serial received", SERIAL_RECEIVED, answered),
                                        ("Serial sent", SERIAL_SENT, sent)):
            vantrel.wait_text(window, control, str(expected))
            counters[name] = driver.text(window, control)
        print("\nCounters in the status window:")
        for name, value in counters.items():
            print(f"    {name:17s} {value} bytes")

        whole = out / "screen.png"
        session.screenshot(whole)
        picture = out / "status-window.png"
        crop_to_window(session, driver, window, whole, picture)
        print(f"\nScreenshot of the status window: {picture.relative_to(REPO)}")

        driver.click(window, EXIT)
        code = vantrel.wait_exit()
        print(f"Exit pressed; Vantrel ended with exit code {code}.")
    ok = device_saw == [c + b"\r" for c in COMMANDS] and vm_saw == b"".join(
        ANSWERS[c] for c in COMMANDS)
    print("Both ways delivered byte-exact." if ok else "MISMATCH between sent and received bytes.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

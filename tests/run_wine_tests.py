#!/usr/bin/env python3
"""Runs every test that needs Wine: the integration binary, the installer test
and the end-to-end suite, side by side. Exit status 0 only when nothing failed
and nothing was skipped but what Wine cannot do (WINE_CANNOT below).

    tests/run_wine_tests.py [--build-dir build/win] [--jobs 3] [-k PATTERN]
                            [--gtest-filter FILTER] [--seed N] [--skip-wintests]
                            [--skip-installer] [--skip-e2e]

1. win_tests.exe (GoogleTest, from tests/*/*_wintest.cpp) runs in a fresh
   Wine session (tests/e2e/harness.py) that provides a pty-backed COM port,
   its tests in a shuffled order whose seed the log shows (--seed repeats an
   order). The test program finds in its environment:
       VANTREL_TEST_COM      the port's name as a program opens it, "COM3"
       VANTREL_TEST_COM_MOVED  a second such port, "COM12"
       VANTREL_TEST_DEVICE   the Unix path of the port's other end, the
                             device; open it as "Z:" + the path with
                             backslashes and read/write it as a plain file
       VANTREL_TEST_VMSTUB   the Windows path of vmstub.exe, the stand-in
                             VM pipe server (see tests/tools/vmstub.cpp)
       VANTREL_TEST_BUILD_DIR  the Windows path of the build directory
   Output and the XML report go to artifacts/win_tests/.
2. tests/installer/run.sh builds the release package and installs, upgrades
   and uninstalls it in copies of the template prefix. Output goes to
   artifacts/installer/.
3. The unittest suite tests/e2e/test_*.py, each test in its own process and
   Wine session, --jobs at a time. Each test's output, logs and screenshots
   go to artifacts/<test id>/.
"""

import argparse
import fnmatch
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
E2E_DIR = REPO / "tests" / "e2e"
sys.path.insert(0, str(E2E_DIR))

# What Wine cannot do, by test id, each with its reason: only these may be
# skipped, and any other skipped test fails the run. Empty while every test
# runs under Wine; an entry says what Wine lacks.
WINE_CANNOT = {}


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.environ.get("VANTREL_BUILD_DIR",
                                                              str(REPO / "build" / "win")))
    # Most of an end-to-end test is waiting on Wine and the splash, so three
    # keep two cores busy beside win_tests.exe and the installer test.
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("VANTREL_E2E_JOBS", "3")))
    parser.add_argument("-k", dest="patterns", action="append", default=[],
                        help="run only end-to-end tests whose id contains this text or "
                             "matches this wildcard pattern (repeatable)")
    parser.add_argument("--gtest-filter", default=None)
    parser.add_argument("--seed", type=int, default=os.environ.get("VANTREL_GTEST_SEED"),
                        help="the order of win_tests.exe (default: a new one each run)")
    parser.add_argument("--skip-wintests", action="store_true")
    parser.add_argument("--skip-installer", action="store_true")
    parser.add_argument("--skip-e2e", action="store_true")
    parser.add_argument("--test-timeout", type=float, default=600,
                        help="seconds one end-to-end test may take")
    return parser.parse_args()


class Summary:
    def __init__(self):
        self.lines = []
        self.failed = []
        self.lock = threading.Lock()

    def add(self, text):
        with self.lock:
            self.lines.append(text)
            print(text, flush=True)

    def fail(self, what):
        with self.lock:
            self.failed.append(what)

    def show(self, text):
        """Output that is not a summary line, kept in one piece."""
        with self.lock:
            print(text, flush=True)

    def skipped(self, part, test_ids):
        """Fails the run for each skipped test that is not on WINE_CANNOT."""
        for test_id in test_ids:
            if test_id in WINE_CANNOT:
                self.add(f"  {part}: skipped {test_id} ({WINE_CANNOT[test_id]})")
            else:
                self.add(f"  {part}: {test_id} was skipped, and it is not on WINE_CANNOT")
                self.fail(test_id)


# --- stale sessions -----------------------------------------------------------


def clean_stale_sessions(build_dir):
    """Removes what killed earlier runs left behind: session folders whose
    owner process is gone, their Wine servers, and the Xvfb and socat
    processes recorded in them. Live sessions of other runs are left alone."""
    import harness

    sessions = build_dir / "e2e-sessions"
    for root in sessions.glob("*") if sessions.is_dir() else []:
        if not harness.session_is_orphaned(root):
            continue
        harness.kill_recorded_processes(root)
        prefix = root / "prefix"
        if prefix.is_dir():
            subprocess.run([harness.WINESERVER, "-k"], env=harness.base_environment(prefix),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(root, ignore_errors=True)


def fresh_artifacts(name):
    import harness

    out_dir = harness.artifact_dir(name)
    for old in out_dir.glob("*"):
        if old.is_file():
            old.unlink()
    return out_dir


def show_failure(summary, name, output):
    if output is not None and output.exists():
        lines = output.read_text(errors="replace").splitlines()
        failed = [line for line in lines if line.startswith("[  FAILED  ]")]
        summary.show("\n".join([f"\n--- {name}"] + (failed or lines[-40:])[:60] +
                               [f"(full output: {output})"]))


# --- win_tests.exe ------------------------------------------------------------


def run_win_tests(build_dir, gtest_filter, seed, summary):
    import harness

    exe = build_dir / "win_tests.exe"
    if not exe.is_file():
        summary.add(f"win_tests.exe: missing in {build_dir}")
        summary.fail("win_tests.exe (missing)")
        return
    out_dir = fresh_artifacts("win_tests")
    started = time.monotonic()
    session = harness.WineSession(build_dir, log_dir=out_dir)
    report = out_dir / "report.xml"
    output = out_dir / "output.log"
    try:
        session.start()
        port = session.com_port("COM3")
        # Where an adapter "moves" to in the tests that follow one.
        moved = session.com_port("COM12")
        session.env.update(
            VANTREL_TEST_COM=port.name,
            VANTREL_TEST_COM_MOVED=moved.name,
            VANTREL_TEST_DEVICE=str(port.device_path),
            VANTREL_TEST_VMSTUB=harness.windows_path(build_dir / "vmstub.exe"),
            VANTREL_TEST_BUILD_DIR=harness.windows_path(build_dir),
        )
        # A new order every run, so that a test that leans on another's
        # leftovers shows; the seed in the log repeats the order.
        args = [f"--gtest_output=xml:{harness.windows_path(report)}", "--gtest_shuffle",
                f"--gtest_random_seed={seed}"]
        if gtest_filter:
            args.append(f"--gtest_filter={gtest_filter}")
        code = session.run_wine(exe, *args, timeout=1200, output=output)
        session.screenshot(out_dir / "final.png")
    except harness.HarnessError as error:
        code = None
        summary.add(f"win_tests.exe: harness failure: {error}")
    finally:
        session.close()
    elapsed = time.monotonic() - started
    counts = gtest_counts(report)
    if counts is None:
        detail = "no report"
    else:
        detail = (f"{counts['tests'] - counts['failures'] - len(counts['skipped'])} passed, "
                  f"{counts['failures']} failed, {len(counts['skipped'])} skipped")
    summary.add(f"{'win_tests.exe':18} {elapsed:7.1f} s  exit code {code}, {detail}; "
                f"shuffled, --seed {seed}")
    if counts is not None:
        summary.skipped("win_tests.exe", counts["skipped"])
    if code != 0 or counts is None or counts["failures"]:
        summary.fail("win_tests.exe")
        show_failure(summary, f"win_tests.exe, --seed {seed}", output)


def gtest_counts(report):
    if not report.exists():
        return None
    try:
        root = ElementTree.parse(report).getroot()
    except ElementTree.ParseError:
        return None
    skipped = [f"{case.get('classname')}.{case.get('name')}" for case in root.iter("testcase")
               if case.find("skipped") is not None or case.get("result") == "skipped"]
    return {"tests": int(root.get("tests", 0)), "failures": int(root.get("failures", 0))
            + int(root.get("errors", 0)), "skipped": skipped}


# --- the installer ------------------------------------------------------------


def run_installer(build_dir, summary):
    out_dir = fresh_artifacts("installer")
    output = out_dir / "output.log"
    started = time.monotonic()
    with open(output, "w") as log:
        try:
            code = subprocess.run([str(REPO / "tests" / "installer" / "run.sh"), str(build_dir),
                                   "-v"], stdout=log, stderr=subprocess.STDOUT,
                                  timeout=1200).returncode
        except subprocess.TimeoutExpired:
            code = None
    elapsed = time.monotonic() - started
    text = output.read_text(errors="replace")
    ran = re.search(r"^Ran (\d+) tests?", text, re.MULTILINE)
    summary.add(f"{'installer':18} {elapsed:7.1f} s  exit code {code}, "
                f"{ran.group(1) if ran else 'no'} tests run")
    summary.skipped("installer", [f"test_installer.{m.group(2)}.{m.group(1)}" for m in re.finditer(
        r"^(\w+) \(__main__\.(\w+)\.\w+\) \.\.\. skipped", text, re.MULTILINE)])
    if code != 0:
        summary.fail("installer")
        show_failure(summary, "installer", output)


# --- the end-to-end suite -----------------------------------------------------


def discover_tests(patterns):
    loader = unittest.TestLoader()
    suite = loader.discover(str(E2E_DIR), pattern="test_*.py", top_level_dir=str(E2E_DIR))
    tests = []

    def flatten(item):
        if isinstance(item, unittest.TestSuite):
            for child in item:
                flatten(child)
        else:
            tests.append(item)

    flatten(suite)
    broken = [t for t in tests if type(t).__name__ in ("_FailedTest", "ModuleImportFailure")]
    wanted = [t for t in tests if t not in broken and (not patterns or any(
        p in t.id() or fnmatch.fnmatch(t.id(), p) for p in patterns))]
    return wanted, broken


def run_one(test_id, build_dir, timeout):
    """(outcome, seconds, log path) of one test in its own process."""
    out_dir = fresh_artifacts(test_id)
    log_path = out_dir / "unittest.log"
    env = dict(os.environ, VANTREL_BUILD_DIR=str(build_dir), PYTHONUNBUFFERED="1")
    started = time.monotonic()
    with open(log_path, "w") as log:
        process = subprocess.Popen([sys.executable, "-m", "unittest", "-v", test_id],
                                   cwd=E2E_DIR, env=env, stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        try:
            code = process.wait(timeout)
        except subprocess.TimeoutExpired:
            # SIGTERM first: the harness then closes its sessions.
            os.killpg(process.pid, signal.SIGTERM)
            try:
                process.wait(60)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
            code = None
    elapsed = time.monotonic() - started
    text = log_path.read_text(errors="replace")
    if code is None:
        outcome = "timeout"
    elif code != 0:
        outcome = "failed"
    elif re.search(r"\bOK \(skipped=\d+\)", text) or re.search(r"\.\.\. skipped", text):
        outcome = "skipped"
    else:
        outcome = "passed"
    return outcome, elapsed, log_path


def run_e2e(build_dir, jobs, patterns, timeout, summary):
    tests, broken = discover_tests(patterns)
    for item in broken:
        summary.add(f"e2e: could not load {item.id()}")
        summary.fail(item.id())
    if not tests:
        summary.add(f"{'e2e':18} no tests selected")
        return

    pending = [t.id() for t in tests]
    started = time.monotonic()
    results = {}
    lock = threading.Lock()

    def worker():
        while True:
            with lock:
                if not pending:
                    return
                test_id = pending.pop(0)
            result = run_one(test_id, build_dir, timeout)
            with lock:
                results[test_id] = result
            summary.show(f"  {result[0]:8} {result[1]:6.1f} s  {test_id}")

    threads = [threading.Thread(target=worker) for _ in range(max(1, jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - started

    by_outcome = {}
    for test_id, (outcome, _, _) in results.items():
        by_outcome.setdefault(outcome, []).append(test_id)
    counts = ", ".join(f"{len(ids)} {name}" for name, ids in sorted(by_outcome.items()))
    summary.add(f"{f'e2e ({len(results)} tests)':18} {elapsed:7.1f} s  {counts}; {jobs} at a time")
    slowest = sorted(results.items(), key=lambda item: -item[1][1])[:3]
    summary.add("  slowest: " + ", ".join(f"{tid.split('.')[-1]} {r[1]:.0f} s"
                                          for tid, r in slowest))
    summary.skipped("e2e", sorted(by_outcome.get("skipped", [])))
    for test_id, (outcome, _, log_path) in sorted(results.items()):
        if outcome in ("failed", "timeout"):
            summary.fail(test_id)
            text = log_path.read_text(errors="replace").splitlines()
            summary.show("\n".join([f"\n--- {test_id}: {outcome} (log {log_path})"] + text[-40:]))


def main():
    args = parse_arguments()
    build_dir = Path(args.build_dir).resolve()
    os.environ["VANTREL_BUILD_DIR"] = str(build_dir)
    seed = int(args.seed) if args.seed is not None else random.randint(1, 99999)
    summary = Summary()
    started = time.monotonic()
    if build_dir.is_dir():
        clean_stale_sessions(build_dir)
    print(f"Wine tests of {build_dir}", flush=True)
    import harness

    template_started = time.monotonic()
    try:
        harness.ensure_template(build_dir)
        summary.add(f"{'template prefix':18} {time.monotonic() - template_started:7.1f} s  "
                    f"(booted once per Wine version, then reused)")
    except harness.HarnessError as error:
        summary.add(f"template prefix: {error}")
        summary.fail("template prefix")
        args.skip_wintests = args.skip_installer = args.skip_e2e = True
    parts = []
    if not args.skip_wintests:
        parts.append((run_win_tests, build_dir, args.gtest_filter, seed, summary))
    if not args.skip_installer:
        parts.append((run_installer, build_dir, summary))
    if not args.skip_e2e:
        parts.append((run_e2e, build_dir, args.jobs, args.patterns, args.test_timeout, summary))

    def run_part(function, *part_args):
        try:
            function(*part_args)
        except Exception as error:  # a part that breaks fails the run, never passes it
            summary.add(f"{function.__name__}: {error!r}")
            summary.fail(function.__name__)

    threads = [threading.Thread(target=run_part, args=part) for part in parts]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("\nSummary", flush=True)
    for line in summary.lines:
        print("  " + line)
    print(f"  total              {time.monotonic() - started:7.1f} s")
    if summary.failed:
        print("FAILED: " + ", ".join(summary.failed))
    else:
        print("All Wine tests passed.")
    return 1 if summary.failed else 0


if __name__ == "__main__":
    sys.exit(main())

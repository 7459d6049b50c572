#!/usr/bin/env python3
"""Runs every test that needs Wine: the integration binary, then the
end-to-end suite. Exit status 0 only when nothing failed.

    tests/run_wine_tests.py [--build-dir build/win] [--jobs 2] [-k PATTERN]
                            [--gtest-filter FILTER] [--skip-wintests] [--skip-e2e]

1. win_tests.exe (GoogleTest, from tests/*/*_wintest.cpp) runs in a fresh
   Wine session (tests/e2e/harness.py) that provides a pty-backed COM port.
   The test program finds in its environment:
       VANTREL_TEST_COM      the port's name as a program opens it, "COM3"
       VANTREL_TEST_DEVICE   the Unix path of the port's other end, the
                             device; open it as "Z:" + the path with
                             backslashes and read/write it as a plain file
       VANTREL_TEST_VMSTUB   the Windows path of vmstub.exe, the stand-in
                             VM pipe server (see tests/tools/vmstub.cpp)
       VANTREL_TEST_BUILD_DIR  the Windows path of the build directory
   Output and the XML report go to artifacts/win_tests/.
2. The unittest suite tests/e2e/test_*.py, each test in its own process and
   Wine session, --jobs at a time (test classes with run_alone = True run
   afterwards, one by one). Each test's output, logs and screenshots go to
   artifacts/<test id>/.
"""

import argparse
import fnmatch
import os
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


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.environ.get("VANTREL_BUILD_DIR",
                                                              str(REPO / "build" / "win")))
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("VANTREL_E2E_JOBS", "2")))
    parser.add_argument("-k", dest="patterns", action="append", default=[],
                        help="run only end-to-end tests whose id contains this text or "
                             "matches this wildcard pattern (repeatable)")
    parser.add_argument("--gtest-filter", default=None)
    parser.add_argument("--skip-wintests", action="store_true")
    parser.add_argument("--skip-e2e", action="store_true")
    parser.add_argument("--test-timeout", type=float, default=600,
                        help="seconds one end-to-end test may take")
    return parser.parse_args()


class Summary:
    def __init__(self):
        self.lines = []
        self.failed = []

    def add(self, text):
        self.lines.append(text)
        print(text, flush=True)


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


# --- win_tests.exe ------------------------------------------------------------


def run_win_tests(build_dir, gtest_filter, summary):
    import harness

    exe = build_dir / "win_tests.exe"
    if not exe.is_file():
        summary.add(f"win_tests.exe: missing in {build_dir}")
        summary.failed.append("win_tests.exe (missing)")
        return
    out_dir = harness.artifact_dir("win_tests")
    for old in out_dir.glob("*"):
        if old.is_file():
            old.unlink()
    started = time.monotonic()
    session = harness.WineSession(build_dir, log_dir=out_dir)
    try:
        session.start()
        port = session.com_port("COM3")
        session.env.update(
            VANTREL_TEST_COM=port.name,
            VANTREL_TEST_DEVICE=str(port.device_path),
            VANTREL_TEST_VMSTUB=harness.windows_path(build_dir / "vmstub.exe"),
            VANTREL_TEST_BUILD_DIR=harness.windows_path(build_dir),
        )
        report = out_dir / "report.xml"
        args = [f"--gtest_output=xml:{harness.windows_path(report)}"]
        if gtest_filter:
            args.append(f"--gtest_filter={gtest_filter}")
        output = out_dir / "output.log"
        code = session.run_wine(exe, *args, timeout=1200, output=output)
        session.screenshot(out_dir / "final.png")
    except harness.HarnessError as error:
        code, report, output = None, None, None
        summary.add(f"win_tests.exe: harness failure: {error}")
    finally:
        session.close()
    elapsed = time.monotonic() - started
    counts = gtest_counts(report) if report is not None else None
    if counts is None:
        detail = "no report"
    else:
        detail = (f"{counts['tests'] - counts['failures'] - counts['skipped']} passed, "
                  f"{counts['failures']} failed, {counts['skipped']} skipped")
    summary.add(f"{'win_tests.exe':18} {elapsed:7.1f} s  exit code {code}, {detail}")
    if code != 0 or counts is None or counts["failures"]:
        summary.failed.append("win_tests.exe")
        if output is not None and output.exists():
            tail = output.read_text(errors="replace").splitlines()
            failed = [line for line in tail if line.startswith("[  FAILED  ]")]
            print("\n".join((failed or tail[-40:])[:60]), flush=True)
            print(f"(full output: {output})", flush=True)


def gtest_counts(report):
    if report is None or not report.exists():
        return None
    try:
        root = ElementTree.parse(report).getroot()
    except ElementTree.ParseError:
        return None
    skipped = sum(1 for case in root.iter("testcase") if case.find("skipped") is not None
                  or case.get("result") == "skipped")
    return {"tests": int(root.get("tests", 0)), "failures": int(root.get("failures", 0))
            + int(root.get("errors", 0)), "skipped": skipped}


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
    import harness

    out_dir = harness.artifact_dir(test_id)
    for old in out_dir.glob("*"):
        if old.is_file():
            old.unlink()
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
    import harness

    tests, broken = discover_tests(patterns)
    for item in broken:
        summary.add(f"e2e: could not load {item.id()}")
        summary.failed.append(item.id())
    together = [t.id() for t in tests if not getattr(type(t), "run_alone", False)]
    alone = [t.id() for t in tests if getattr(type(t), "run_alone", False)]
    if not tests:
        summary.add(f"{'e2e':18} no tests selected")
        return

    started = time.monotonic()
    results = {}
    lock = threading.Lock()
    pending = list(together)

    def worker():
        while True:
            with lock:
                if not pending:
                    return
                test_id = pending.pop(0)
            result = run_one(test_id, build_dir, timeout)
            with lock:
                results[test_id] = result
                print(f"  {result[0]:8} {result[1]:6.1f} s  {test_id}", flush=True)

    threads = [threading.Thread(target=worker) for _ in range(max(1, jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for test_id in alone:
        results[test_id] = run_one(test_id, build_dir, timeout)
        print(f"  {results[test_id][0]:8} {results[test_id][1]:6.1f} s  {test_id} (alone)",
              flush=True)
    elapsed = time.monotonic() - started

    by_outcome = {}
    for test_id, (outcome, _, _) in results.items():
        by_outcome.setdefault(outcome, []).append(test_id)
    counts = ", ".join(f"{len(ids)} {name}" for name, ids in sorted(by_outcome.items()))
    summary.add(f"{f'e2e ({len(results)} tests)':18} {elapsed:7.1f} s  {counts}; {jobs} at a time")
    slowest = sorted(results.items(), key=lambda item: -item[1][1])[:3]
    summary.add("  slowest: " + ", ".join(f"{tid.split('.')[-1]} {r[1]:.0f} s"
                                          for tid, r in slowest))
    for test_id, (outcome, _, log_path) in sorted(results.items()):
        if outcome in ("failed", "timeout"):
            summary.failed.append(test_id)
            text = log_path.read_text(errors="replace").splitlines()
            print(f"\n--- {test_id}: {outcome} (log {log_path})", flush=True)
            print("\n".join(text[-40:]), flush=True)


def main():
    args = parse_arguments()
    build_dir = Path(args.build_dir).resolve()
    os.environ["VANTREL_BUILD_DIR"] = str(build_dir)
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
        summary.failed.append("template prefix")
        args.skip_wintests = args.skip_e2e = True
    if not args.skip_wintests:
        run_win_tests(build_dir, args.gtest_filter, summary)
    if not args.skip_e2e:
        run_e2e(build_dir, args.jobs, args.patterns, args.test_timeout, summary)
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

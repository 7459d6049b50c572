#!/usr/bin/env python3
"""Fails when the program's layers are out of order.

Layers, each including only layers below it or files of its own folder:
platform-free logic (any folder: files that need no windows.h), common
Win32 services (common/), the ends (config/, serial/, pipe/), relay/, ui/,
app/. The ends and the relay also never show a box or dialog, end the
process or hold a window handle: they report, and the application decides.
"""

import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
RANKS = {"common": 2, "config": 3, "serial": 3, "pipe": 3, "relay": 4, "ui": 5, "app": 6}
# Made by the build from files of the program (CMakeLists.txt).
GENERATED = {"version.h", "vantrel_events.h", "vantrel_events.rc"}
INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^>"]+)[>"]', re.M)
# What only the user interface and the application may do.
DECIDING = re.compile(r"\b(MessageBoxW?|ShowMessageBox|DialogBoxParamW?|CreateDialogParamW?|"
                      r"std::exit|ExitProcess|TerminateProcess|HWND)\b")


def sources():
    for folder in RANKS:
        for path in sorted((REPO / folder).rglob("*")):
            if path.suffix in (".h", ".cpp"):
                yield path


def includes(path):
    text = path.read_text(encoding="utf-8")
    return [(kind, name) for kind, name in INCLUDE.findall(text)]


def main():
    files = {p.relative_to(REPO).as_posix(): p for p in sources()}
    local = {name: [n for kind, n in includes(p) if kind == '"'] for name, p in files.items()}
    system = {name: [n for kind, n in includes(p) if kind == "<"] for name, p in files.items()}

    # Platform-free: no windows.h, and only platform-free files of ours.
    free = {name for name in files if "windows.h" not in system[name]}
    changed = True
    while changed:
        changed = False
        for name in sorted(free):
            if any(dep not in free for dep in local[name]):
                free.discard(name)
                changed = True

    problems = []
    for name, deps in sorted(local.items()):
        folder = name.split("/")[0]
        for dep in deps:
            if dep in GENERATED:
                continue
            if dep not in files:
                problems.append(f"{name}: includes {dep}, which is not a file of the program")
                continue
            dep_folder = dep.split("/")[0]
            if dep in free or dep_folder == folder and name not in free:
                continue
            if name in free:
                problems.append(f"{name}: platform-free, yet includes {dep}, which is not")
            elif RANKS[dep_folder] >= RANKS[folder]:
                problems.append(f"{name}: {folder}/ may not include {dep} ({dep_folder}/ is "
                                f"{'the same layer' if RANKS[dep_folder] == RANKS[folder] else 'above'})")
        if RANKS[folder] in (3, 4):
            for line_number, line in enumerate(files[name].read_text(encoding="utf-8").splitlines(), 1):
                code = line.split("//")[0]
                match = DECIDING.search(code)
                if match:
                    problems.append(f"{name}:{line_number}: {match.group(1)} below the user interface")
    for problem in problems:
        print(problem)
    print(f"check_layers: {len(files)} files, {len(free)} platform-free, "
          f"{len(problems)} problem{'s' if len(problems) != 1 else ''}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

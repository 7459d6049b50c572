#!/usr/bin/env python3
"""Fails when the program's layers are out of order.

Every file ranks by its folder: common/ (Win32 services and the platform-free
helpers everything shares), config/, then serial/ and pipe/ (the ends, which
may use the settings record of config/), relay/, ui/, app/. A file includes
only files of its own folder or of a folder ranked below it, whether the
include is written with quotes or angle brackets. A platform-free file (one
that reaches no Windows header, directly or through the files it includes)
includes only platform-free files, and one that says it is platform-free
must be. Below ui/ nothing shows a box or dialog,
calls a function of ui/ that does or holds a window handle, and below app/
nothing ends the process: those layers report, and the user interface and
the application decide.

Usage: check_layers.py [--root DIR]   (the tree to check; this one without it)
"""

import argparse
import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
RANKS = {"common": 2, "config": 3, "serial": 3.5, "pipe": 3.5, "relay": 4, "ui": 5, "app": 6}
UI_RANK = RANKS["ui"]
# Made by the build from files of the program (CMakeLists.txt).
GENERATED = {"version.h", "vantrel_events.h", "vantrel_events.rc"}
INCLUDE = re.compile(r'^\s*#\s*include\s+[<"]([^>"]+)[>"]', re.M)
# The C and C++ standard headers have no ".h" (<cstdint>, <string>); every
# other header outside the tree is the platform's.
PLATFORM_HEADER = re.compile(r"\.h$")
# What only the user interface and the application may do, and what only
# the application may do.
SHOWING = re.compile(r"\b(MessageBox\w*|DialogBox\w*|CreateDialog\w*|GetSaveFileNameW|"
                     r"GetOpenFileNameW|HWND)\b")
ENDING = re.compile(r"(?<![\w:])(std::exit|_?exit(?=\s*\()|ExitProcess|abort(?=\s*\()|"
                    r"TerminateProcess(?=\s*\(\s*GetCurrentProcess))")
DECLARED = re.compile(r"^[A-Za-z_][\w:<>*&, ]*?\b([A-Z]\w*)\s*\(", re.M)


def strip_comments(text):
    return re.sub(r"//[^\n]*|/\*.*?\*/", "", text, flags=re.S)


def body_of(text, name):
    """The body of function name's definition in text, or None."""
    match = re.search(r"^[A-Za-z_][\w:<>*&, ]*\b" + name + r"\s*\([^;{]*\)\s*\{", text, re.M)
    if not match:
        return None
    depth, at = 1, match.end()
    while depth and at < len(text):
        depth += {"{": 1, "}": -1}.get(text[at], 0)
        at += 1
    return text[match.end():at]


def ui_wrappers(files, texts):
    """The functions declared in ui/ headers that show a box or dialog,
    themselves or through another of them."""
    declared = {name for path in files if path.startswith("ui/") and path.endswith(".h")
                for name in DECLARED.findall(texts[path])}
    bodies = {}
    for name in declared:
        for path in files:
            if path.startswith("ui/") and path.endswith(".cpp"):
                body = body_of(texts[path], name)
                if body is not None:
                    bodies[name] = body
    wrappers = set()
    changed = True
    while changed:
        changed = False
        for name, body in bodies.items():
            if name not in wrappers and (
                    re.search(r"\b(MessageBox\w*|DialogBox\w*|GetSaveFileNameW)\s*\(", body) or
                    any(re.search(r"\b" + other + r"\s*\(", body) for other in wrappers)):
                wrappers.add(name)
                changed = True
    return wrappers


def check(root):
    files = {p.relative_to(root).as_posix(): p for folder in RANKS
             for p in sorted((root / folder).rglob("*")) if p.suffix in (".h", ".cpp")}
    texts = {name: strip_comments(p.read_text(encoding="utf-8")) for name, p in files.items()}
    local, platform = {}, {}
    for name, text in texts.items():
        included = INCLUDE.findall(text)
        local[name] = [n for n in included if n in files or n in GENERATED]
        platform[name] = [n for n in included if n not in local[name] and PLATFORM_HEADER.search(n)]

    # Platform-free: no platform header, and only platform-free files of ours.
    free = {name for name in files if not platform[name]}
    changed = True
    while changed:
        changed = False
        for name in sorted(free):
            if any(dep not in free for dep in local[name]):
                free.discard(name)
                changed = True

    problems = []
    for name, path in files.items():
        # A file that says it is platform-free in its opening comment (the
        # native build compiles it) must be.
        opening = path.read_text(encoding="utf-8").split("#pragma once")[0].split("#include")[0]
        if "Platform-free" in opening and name not in free:
            reached = platform[name] or [dep for dep in local[name] if dep not in free]
            problems.append(f"{name}: says it is platform-free, yet reaches {reached[0]}")
    for name, deps in sorted(local.items()):
        folder = name.split("/")[0]
        for dep in deps:
            if dep in GENERATED:
                continue
            dep_folder = dep.split("/")[0]
            if name in free and dep not in free:
                problems.append(f"{name}: platform-free, yet includes {dep}, which is not")
            elif dep_folder != folder and RANKS[dep_folder] >= RANKS[folder]:
                where = "the same layer" if RANKS[dep_folder] == RANKS[folder] else "above"
                problems.append(f"{name}: {folder}/ may not include {dep} ({dep_folder}/ is {where})")
    wrappers = ui_wrappers(files, texts)
    calls = re.compile(r"\b(" + "|".join(sorted(wrappers)) + r")\s*\(") if wrappers else None
    for name, text in sorted(texts.items()):
        rank = RANKS[name.split("/")[0]]
        for line_number, line in enumerate(text.splitlines(), 1):
            ending = ENDING.search(line) if rank < RANKS["app"] else None
            if ending:
                problems.append(f"{name}:{line_number}: {ending.group(1)} below the application")
            showing = (SHOWING.search(line) or (calls.search(line) if calls else None)
                       if rank < UI_RANK else None)
            if showing:
                problems.append(
                    f"{name}:{line_number}: {showing.group(1)} below the user interface")
    return files, free, problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=Path, default=REPO)
    files, free, problems = check(parser.parse_args().root.resolve())
    for problem in problems:
        print(problem)
    print(f"check_layers: {len(files)} files, {len(free)} platform-free, "
          f"{len(problems)} problem{'s' if len(problems) != 1 else ''}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Fails when a source file of a layer includes a header of the project that its layer may
not use.

The layers, lowest first (the README's layout table):

    base < math < image, volume_formats, ct < api (with include/, its public header)
         < tools, python

A file may include headers of its own folder and of every layer below its own; layers of
the same rank do not see each other. tools/ and python/ sit on the exported interface: of
the library they may include the public header only. No layer includes anything of tests/,
fuzz/, bench/ or examples/.

Every `#include "..."` is resolved as the compiler would (beside the including file, then
from the source root, then include/); so is an `#include <...>` that names a file of ours.
A quoted include that names no file of ours fails too, as it would go unchecked.

    scripts/check-layers.py [SOURCE_ROOT]      (default: the repository holding this script)
"""

import os
import re
import sys

RANK = {
    "base": 0,
    "math": 1,
    "image": 2,
    "volume_formats": 2,
    "ct": 2,
    "api": 3,
    "include": 3,
    "tools": 4,
    "python": 4,
}
# Folders of one layer under two names: the public header belongs to the api layer.
SAME_LAYER = {"include": "api"}
# Layers that may use the library only through its public header.
ON_THE_INTERFACE = {"tools", "python"}
NOT_LAYERS = {"tests", "fuzz", "bench", "examples"}

# Includes that break the layering knowingly; an exception that no longer occurs fails
# the check, so the list only shrinks.
TOOL_EXCEPTIONS = set()

INCLUDE = re.compile(r'^\s*#\s*include\s*(["<])([^">]+)[">]')
SOURCE_SUFFIXES = (".c", ".cpp", ".h")


def layer_of(path):
    top = path.split("/", 1)[0]
    return SAME_LAYER.get(top, top)


def resolve(root, including, name, quoted):
    """The repository-relative path `name` names from `including`, or None."""
    candidates = []
    if quoted:
        candidates.append(os.path.join(os.path.dirname(including), name))
    candidates += [name, os.path.join("include", name)]
    for candidate in candidates:
        candidate = os.path.normpath(candidate)
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate.replace(os.sep, "/")
    return None


def may_include(source, header):
    """Why `source` may not include `header`, or None when it may."""
    mine, theirs = layer_of(source), layer_of(header)
    if theirs in NOT_LAYERS:
        return f"{theirs}/ is not part of the library"
    if mine == theirs:
        return None
    if mine in ON_THE_INTERFACE:
        if header == "include/qvx_ozk.h":
            return None
        return f"{mine}/ may use only the public header of the library"
    if RANK[SAME_LAYER.get(theirs, theirs)] < RANK[mine]:
        return None
    return f"{theirs}/ is not below {mine}/"


def main():
    root = os.path.abspath(
        sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems, seen_exceptions, checked = [], set(), 0
    for folder in sorted(RANK):
        for directory, _, files in os.walk(os.path.join(root, folder)):
            for file_name in sorted(files):
                if not file_name.endswith(SOURCE_SUFFIXES):
                    continue
                source = os.path.relpath(os.path.join(directory, file_name), root)
                source = source.replace(os.sep, "/")
                checked += 1
                with open(os.path.join(root, source), encoding="utf-8") as text:
                    for number, line in enumerate(text, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        quoted, name = match.group(1) == '"', match.group(2)
                        header = resolve(root, source, name, quoted)
                        if header is None:
                            if quoted:
                                problems.append(f"{source}:{number}: \"{name}\" is no file of "
                                                "the project")
                            continue
                        if (source, header) in TOOL_EXCEPTIONS:
                            seen_exceptions.add((source, header))
                            continue
                        reason = may_include(source, header)
                        if reason:
                            problems.append(f"{source}:{number}: includes {header}: {reason}")
    for source, header in sorted(TOOL_EXCEPTIONS - seen_exceptions):
        problems.append(f"{source}: the listed exception for {header} no longer occurs; "
                        "drop it from scripts/check-layers.py")
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"check-layers: {len(problems)} problem(s)", file=sys.stderr)
        return 1
    print(f"check-layers: {checked} files follow the layer order")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Fails when a file of src/ includes from a folder above its own.

The folders of src/, from the top: the exports and the operations that
coordinate a run (api), runs (scan), the wire (link), the record, timing and
configuration file (device), logging, the operating system (platform) and
what every floor shares (common).  A file may include from its own folder
and from the folders below it, never from one above.
"""
import pathlib
import re
import sys

LAYERS = ["api", "scan", "link", "device", "logging", "platform", "common"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/')

root = pathlib.Path(__file__).resolve().parent.parent / "src"
faults = 0
for path in sorted(root.rglob("*")):
    if path.suffix not in (".h", ".cpp"):
        continue
    own = path.relative_to(root).parts[0]
    if own not in LAYERS:
        print(f"{path.relative_to(root.parent)}: folder '{own}' has no place in the layer order")
        faults += 1
        continue
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        match = INCLUDE.match(line)
        if not match or match.group(1) not in LAYERS:
            continue
        if LAYERS.index(match.group(1)) < LAYERS.index(own):
            print(f"{path.relative_to(root.parent)}:{number}: {own}/ includes from {match.group(1)}/, "
                  f"a layer above it: {line.strip()}")
            faults += 1
if faults:
    print(f"{faults} include(s) climb the layers (order, top first: {', '.join(LAYERS)})")
    sys.exit(1)
print("layers: every include of src/ goes down (" + " > ".join(LAYERS) + ")")

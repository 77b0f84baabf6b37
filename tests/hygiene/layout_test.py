#!/usr/bin/env python3
"""Reads every project include and checks that the tree's layers hold: a program includes itself and what
stands below it, never another program; platform/'s shared concepts include only each other; and a
platform/ folder is reached from outside only through its face (the header named after the folder) and
its plugin entry (plugin.h), whatever its insides are. Prints each include that breaks a rule."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
# What each top folder may include beside itself; tests, benchmarks and fuzz targets may include anything.
below = {
    "platform": set(),
    "github": {"platform"},
    "helper": {"platform", "github"},
    "credward": {"platform", "github"},
    "launcher": {"platform"},
    "pidlens": {"platform"},
}
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
faults = []
for source in sorted(root.glob("*/**/*")):
    parts = source.relative_to(root).parts
    if source.suffix not in {".c", ".cpp", ".h"} or parts[0].startswith(("build", ".")):
        continue
    for target in include.findall(source.read_text(errors="replace")):
        wanted = pathlib.PurePath(target).parts
        if len(wanted) < 2:
            continue
        if parts[0] in below and wanted[0] != parts[0] and wanted[0] not in below[parts[0]]:
            faults.append(f"{source.relative_to(root)}: {target}: {wanted[0]}/ stands beside or above it")
        if wanted[0] != "platform":
            continue
        inside = parts[:len(wanted) - 1] == wanted[:-1]
        if len(wanted) == 3 and not inside and wanted[2] not in {wanted[1] + ".h", "plugin.h"}:
            faults.append(f"{source.relative_to(root)}: {target}: the inside of platform/{wanted[1]}/")
        if len(wanted) == 3 and parts[0] == "platform" and len(parts) == 2:
            faults.append(f"{source.relative_to(root)}: {target}: a shared concept stands below the parts")
print("\n".join(faults))
sys.exit(1 if faults else 0)

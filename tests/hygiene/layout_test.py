#!/usr/bin/env python3
# Reads every project include and prints each that breaks the tree's layers: a program includes itself and
# what stands below it; platform/'s shared concepts include no part; a platform/ folder is reached from
# outside only through its face (named after the folder) and its plugin entry (plugin.h).
import pathlib, re, sys

root = pathlib.Path(sys.argv[1])
below = {"platform": set(), "github": {"platform"}, "helper": {"platform", "github"},
         "credward": {"platform", "github"}, "launcher": {"platform"}, "pidlens": {"platform"}}
faults = []
for source in sorted(root.glob("*/**/*.[ch]*")):
    at = source.relative_to(root).parts
    if source.suffix not in {".c", ".cpp", ".h"} or at[0].startswith(("build", ".")):
        continue
    for target in re.findall(r'^\s*#\s*include\s+"(\w+/[^"]+)"', source.read_text(errors="replace"), re.M):
        to = pathlib.PurePath(target).parts
        part = to[0] == "platform" and len(to) == 3
        if at[0] in below and to[0] not in below[at[0]] | {at[0]}:
            faults.append(f"{source.relative_to(root)}: {target} stands beside or above it")
        elif part and at[:2] != to[:2] and to[2] not in {to[1] + ".h", "plugin.h"}:
            faults.append(f"{source.relative_to(root)}: {target} is inside platform/{to[1]}/")
        elif part and at[0] == "platform" and len(at) == 2:
            faults.append(f"{source.relative_to(root)}: {target}: a shared concept stands below the parts")
print("\n".join(faults))
sys.exit(1 if faults else 0)

#!/usr/bin/env python3
"""Self cost (Ir) of the functions defined under one source folder, from callgrind dumps.

A function belongs to the folder by the file callgrind gives it (fl=); code inlined into it from
headers (fi=/fe=) stays its own cost. The cost line after a calls= line is the callee's
inclusive cost and is skipped, so nothing is counted twice. Calls from the folder's functions
to the C library's memset/memcpy/memmove (what RtlZeroMemory and RtlCopyMemory become) are
shown apart, in a second column; the third is everything the program ran in the same time, all
threads (application, simulated kernel and bus), for scale.

    callgrind_self_cost.py FOLDER REQUESTS DUMP...   one line per dump: Ir per request
    --functions N                                      and the N costliest functions of each
"""
import argparse
import collections
import os
import re
import sys

NAMED = re.compile(r"^\((\d+)\)(?: (.*))?$")
MEMORY_ROUTINE = re.compile(r"^_*mem(set|cpy|move)")


class Names:
    """callgrind's compressed names: '(id) name' defines, '(id)' refers."""

    def __init__(self):
        self.table = {}

    def resolve(self, text):
        m = NAMED.match(text.strip())
        if not m:
            return text.strip()
        key, name = m.group(1), m.group(2)
        if name is not None:
            self.table[key] = name
        return self.table.get(key, "?")


def parse(path):
    """Returns (trigger, {(file, function): self Ir}, {(file, function): Ir of memory routines
    it called})."""
    files, functions = Names(), Names()
    cost = collections.Counter()
    memory = collections.Counter()
    trigger = path
    current_file = current_fn = callee = None
    skip_next_cost = False
    with open(path) as dump:
        for line in dump:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line.startswith("desc: Trigger:"):
                trigger = line.split(":", 2)[2].strip()
                continue
            key, sep, value = line.partition("=")
            if sep and re.fullmatch(r"[a-z]+", key):
                if key == "fl":
                    current_file = files.resolve(value)
                elif key in ("fi", "fe", "cfi", "cfl"):
                    files.resolve(value)  # defines the name for later references
                elif key == "fn":
                    current_fn = functions.resolve(value)
                elif key == "cfn":
                    callee = functions.resolve(value)
                elif key == "calls":
                    skip_next_cost = True
                continue
            if line[0] in "0123456789+-*":
                fields = line.split()
                if skip_next_cost:
                    skip_next_cost = False
                    if callee and MEMORY_ROUTINE.match(callee) and len(fields) >= 2:
                        memory[(current_file, current_fn)] += int(fields[1])
                    continue
                if len(fields) >= 2 and current_fn is not None:
                    cost[(current_file, current_fn)] += int(fields[1])
    return trigger, cost, memory


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("requests", type=int)
    parser.add_argument("dumps", nargs="+")
    parser.add_argument("--functions", type=int, default=0)
    args = parser.parse_args()
    # By the folder's name: callgrind gives the paths as the compiler saw them, relative to a
    # build folder (../../driver/...) or to another checkout when ccache supplied the object.
    folder = "/" + os.path.basename(args.folder.rstrip("/")) + "/"

    def inside(file):
        return file and folder in os.path.normpath(file)

    for path in args.dumps:
        trigger, cost, memory = parse(path)
        name = trigger.replace("Client Request:", "").strip()
        mine = {k: v for k, v in cost.items() if inside(k[0])}
        total = sum(mine.values())
        cleared = sum(v for k, v in memory.items() if inside(k[0]))
        requests = 1 if name == "empty" else args.requests
        everything = sum(cost.values())
        print(f"{name:14} {total / requests:12.1f} {cleared / requests:12.1f} {everything / requests:12.1f}")
        for (file, fn), ir in sorted(mine.items(), key=lambda kv: -kv[1])[: args.functions]:
            short = os.path.normpath(file).split(folder, 1)[1]
            print(f"    {ir / requests:10.1f}  {short}: {fn}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Requests per second through the whole stack against straight to the bus, side by side, from
data_path_bench's JSON output: compare.py RESULT.json TITLE"""
import json
import sys


def main():
    path, title = sys.argv[1], sys.argv[2]
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    rate = {}
    for run in runs:
        if run.get("error_occurred"):
            print(f"{run['name']}: {run.get('error_message', 'failed')}")
            continue
        parts = dict(p.split(":", 1) for p in run["name"].split("/")[1:] if ":" in p)
        rate[(run["name"].split("/")[0], int(parts["bytes"]), int(parts["depth"]))] = run["items_per_second"]
    print(f"{title}: requests/s")
    print(f"{'bytes':>8} {'depth':>6} {'library':>10} {'sys calls':>10} {'bus direct':>11} {'lib/bus':>8}")
    for (_, size, depth) in sorted(k for k in rate if k[0] == "WholeStack"):
        stack = rate[("WholeStack", size, depth)]
        calls = rate.get(("SystemCalls", size, depth), 0)
        bus = rate.get(("BusDirect", size, depth))
        ratio = f"{stack / bus:8.2f}" if bus else f"{'-':>8}"
        print(f"{size:8} {depth:6} {stack:10.0f} {calls:10.0f} {bus or 0:11.0f} {ratio}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

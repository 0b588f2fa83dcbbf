#!/usr/bin/env python3
"""xrusbctl on its simulated machine: every command once, its output checked where it matters,
--json parsed, the exit codes scripts rely on, a session in the shell, and a capture tshark reads."""
import json
import os
import subprocess
import sys
import tempfile

CTL = sys.argv[1]
failures = []


def run(*args, stdin=None, code=0):
    p = subprocess.run([CTL, *args], input=stdin, capture_output=True, text=True, timeout=120)
    if code is not None and p.returncode != code:
        failures.append(f"{args}: exit {p.returncode}, wanted {code}\n{p.stdout}{p.stderr}")
    return p.stdout, p.stderr


def check(what, ok, detail=""):
    if not ok:
        failures.append(f"{what}\n{detail}")


def lines(out):
    return [json.loads(l) for l in out.splitlines()]


# Listing and descriptors, text and JSON, with names from usb.ids.
out, _ = run("list")
check("list", "1209:7355  high  xrusb xrusb test device" in out, out)
out, _ = run("--device", "test", "--device", "fx2", "--json", "list")
ids = [(d["vendorId"], d["productId"]) for d in lines(out)[0]["devices"]]
check("two devices", ids == [(0x1209, 0x7355), (0x04B4, 0x8613)], out)
out, _ = run("describe")
check("describe", "idVendor           0x1209 Generic" in out and "Vendor Specific Class" in out
      and "Transfer Type            Isochronous" in out and "wMaxPacketSize     0x1400  3x 1024 bytes" in out, out)
out, _ = run("--device", "ss", "--json", "describe")
d = lines(out)[0]
endpoint = d["configurations"][0]["interfaces"][0]["endpoints"][0]
check("ss companion", endpoint["companion"]["bMaxBurst"] == 15, out)
check("bos", [c["type"] for c in d["bos"]["capabilities"]] == [2, 3], out)

# One run, many steps: the device stays open, so the configuration holds between them.
out, err = run("--json", "config", "1", ";", "ctrl", "0x40", "0x5D", "0xBEEF", "0", "0", ";",
               "ctrl", "0xC0", "0x5E", "0", "0", "2", ";", "ctrl", "0x80", "6", "0x100", "0", "18", ";",
               "write", "0x03", "01 02 03", ";", "read", "0x83", "--length", "3", ";",
               "altsetting", "1", "1", ";", "abort", "0x86", ";", "reset", "0x81", ";",
               "params", "set", "--timeout", "500", ";", "power", "get", ";", "config", "none")
r = lines(out)
check("configured", r[0]["configured"] and len(r[0]["pipes"]) == 7, out + err)
check("register", r[2]["data"] == "ef be", out)
check("device descriptor", r[3]["data"].startswith("12 01 00 02") and r[3]["bytes"] == 18, out)
check("loopback", r[5]["reads"] == ["01 02 03"], out)
check("alt 1", {"interface": 1, "alt": 1} in r[6]["interfaces"], out)
check("params", r[9]["requestTimeoutMs"] == 500 and r[10]["state"] == "D0", out)
check("unconfigured", not r[11]["configured"], out)

# Exit codes and the library's words.
_, err = run("ctrl", "0xC0", "0x77", "0", "0", "2", code=1)
check("stall named", "STALL" in err, err)
_, err = run("config", "1", ";", "read", "0x99", code=1)
check("no pipe named", "ERR_PIPE_NOT_FOUND" in err, err)
for bad in (["frobnicate"], ["ctrl", "0xC0", "1"], ["ctrl", "0x40", "1", "0", "0", "2", "--data", "abc"],
            ["ctrl", "0x40", "1", "0", "0", "3", "--data", "01 02"], ["write", "0x03", "0g"],
            ["read", "0x100"], ["power", "set", "D4"], ["bench", "sideways"]):
    run(*bad, code=2)
run("-s", "7", "describe", code=3)
run("-s", "1209:7355:0001", "describe")
# Reset, power, statistics kept by the pipe across commands, the second control pipe, firmware files.
with tempfile.TemporaryDirectory() as tmp:
    hexfile, fixed = os.path.join(tmp, "fw.hex"), os.path.join(tmp, "fixed.hex")
    with open(hexfile, "w") as f:
        f.write(":020000040000FA\n:030000000200807B\n:00000001FF")
    out, _ = run("--json", "config", "1", ";", "reset", ";", "config", "show", ";", "config", "1", ";",
                 "power", "set", "D2", ";", "power", "get", ";", "power", "set", "D0", ";",
                 "stats", "0x81", "start", "100", ";", "read", "0x81", "-l", "512", ";", "stats", "0x81", "show", ";",
                 "ctrl", "0x40", "0x60", "0", "0", "3", "--data", "09 08 07", "--pipe", "0x07", ";",
                 "ctrl", "0xC0", "0x61", "0", "0", "3", "--pipe", "0x07", ";",
                 "fw", "fix", hexfile, fixed, ";", "fw", "check", fixed, ";", "fw", "load", fixed)
    r = lines(out)
    check("reset unconfigures", r[2]["configured"] is False, out)
    check("power states", [r[5]["state"], r[6]["state"]] == ["D2", "D0"], out)
    check("statistics", (r[9]["bytesTransferred"], r[9]["averagingIntervalMs"]) == (512, 100), out)
    check("second control pipe", r[11]["data"] == "09 08 07", out)
    check("firmware fixed and loads", r[12]["fixed"] and r[13]["loads"] and not r[13]["findings"], out)
    check("firmware loaded into a bare FX2", r[14]["loaded"] and "04b4:8613" not in r[14]["devices"], out)
    run("fw", "load", hexfile, code=1)
    out, _ = run("fw", "check", hexfile, code=1)
    check("firmware fault in the driver's words", "1:1: error: Invalid firmware file: record type." in out, out)

# A session in the shell: faults, trace, unplug and plug; the machine persists throughout.
with tempfile.TemporaryDirectory() as tmp:
    capture = os.path.join(tmp, "s.pcap")
    session = "\n".join(["config 1", "fault 0x81 stall", "read 0x81", "reset 0x81", "read 0x81 -l 4",
                         "trace", "unplug", "list", "plug test:full", "list", "cycle", "list"]) + "\n"
    out, err = run("--capture", capture, "shell", stdin=session)
    check("stall in the shell", "STALL" in err and "00 01 02 03" in out, out + err)
    check("trace", "0x81 bulk IN 0/512 USBD 0xC0000004" in out, out)
    check("replug at full speed", "no xrusb device is present" in out and "1209:7355  full" in out, out)
    frames = subprocess.run(["tshark", "-r", capture, "-T", "fields", "-e", "usb.usbd_status"],
                            capture_output=True, text=True).stdout.split()
    check("capture", "0xc0000004" in frames and len(frames) > 20, " ".join(frames[:40]))
    script = os.path.join(tmp, "steps")
    with open(script, "w") as f:
        f.write("# a script stops at the first failure\nconfig 1\nread 0x99\nlist\n")
    out, _ = run("-f", script, code=1)
    check("script stops", "1209:7355" not in out, out)

# Throughput beside the bus's limit, at high speed and SuperSpeed. An isochronous stream on a
# loaded machine may run late: its failed packets are counted, not judged here.
for device, mode, limit in (("test", "in", 53.248), ("test", "loopback", 26.624), ("test", "iso", None),
                            ("ss", "out", 393.216)):
    out, _ = run("--device", device, "--json", "bench", mode, "--seconds", "1", code=None if mode == "iso" else 0)
    b = lines(out)[0]
    check(f"bench {device} {mode}", b["MBps"] > 0 and (mode == "iso" or b["errors"] == 0) and
          (limit is None or abs(b["limitMBps"] - limit) < 0.01) and b["MBps"] <= b["limitMBps"] * 1.05, out)

print("\n\n".join(failures) if failures else "ok")
sys.exit(1 if failures else 0)

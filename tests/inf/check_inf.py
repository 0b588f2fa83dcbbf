#!/usr/bin/env python3
"""The INF: its syntax as Windows' INF parser reads it (sections, references, strings, DriverVer),
the driver's version in it, and its list of registry values against the ones the driver reads,
with their defaults."""
import re
import sys

root = sys.argv[1]
inf = open(f"{root}/windows/xrusb.inf", encoding="ascii").read().splitlines()
errors = []

sections, current, commented = {}, None, {}
for n, raw in enumerate(inf, 1):
    line = raw.split(";", 1)[0].strip() if not raw.lstrip().startswith('"') else raw.strip()
    if raw.count('"') % 2:
        errors.append(f"line {n}: unbalanced quotes")
    m = re.match(r"^;\s*HKR,,(\w+),(0x[0-9A-Fa-f]+),(.*)$", raw.strip())
    if m and current:
        commented.setdefault(current.lower(), []).append(m.groups())
    if not line:
        continue
    m = re.match(r"^\[([^\]]+)\]$", line)
    if m:
        current = m.group(1)
        if current.lower() in sections:
            errors.append(f"line {n}: section [{current}] twice")
        sections[current.lower()] = []
    elif current is None:
        errors.append(f"line {n}: outside any section")
    else:
        sections[current.lower()].append((n, line))

def entries(name):
    return sections.get(name.lower(), [])

def value(section, key):
    for _, line in entries(section):
        k, _, v = line.partition("=")
        if k.strip().lower() == key.lower():
            return v.strip()
    return None

strings = {k.strip().lower() for _, l in entries("Strings") for k in [l.partition("=")[0]]}
for section, lines in sections.items():
    for n, line in lines:
        for token in re.findall(r"%([^%]*)%", line):
            if token and not token.isdigit() and token.lower() not in strings:
                errors.append(f"line {n}: %{token}% is not in [Strings]")
        key, _, rhs = line.partition("=")
        if key.strip() in ("CopyFiles", "AddReg"):
            for ref in rhs.split(","):
                if ref.strip().lower() not in sections:
                    errors.append(f"line {n}: [{ref.strip()}] does not exist")

for model in (value("Manufacturer", "%ManufacturerName%") or "").split(",")[:1]:
    models = f"{model.strip()}.NTamd64"
    if not entries(models):
        errors.append(f"[{models}] is missing or empty")
    for n, line in entries(models):
        install, _, hwid = line.partition("=")[2].partition(",")
        for suffix in (".NT", ".NT.Services", ".NT.HW"):
            if (install.strip() + suffix).lower() not in sections:
                errors.append(f"line {n}: [{install.strip()}{suffix}] is missing")
ids = [l.partition(",")[2].strip() for _, l in entries("Devices.NTamd64")]
if "USB\\VID_1209&PID_7355" not in ids:
    errors.append(f"the test device's hardware ID is not installed: {ids}")
for n, line in entries("xrusb_Install.NT.Services"):
    fields = [f.strip() for f in line.partition("=")[2].split(",")]
    for ref in fields[2:]:
        if ref.lower() not in sections:
            errors.append(f"line {n}: [{ref}] does not exist")
if not any("EventMessageFile" in l for _, l in entries("xrusb_EventLog_AddReg")):
    errors.append("no event message file is registered")

ioctl = open(f"{root}/include/xrusb/ioctl.h").read()
version = int(re.search(r"XRUSB_DRIVER_VERSION (0x[0-9A-Fa-f]+)", ioctl).group(1), 16)
build = int(re.search(r"XRUSB_DRIVER_BUILD (\d+)", ioctl).group(1))
want = f"{version >> 8}.{version & 0xFF}.{build}.0"
m = re.match(r"^(\d\d)/(\d\d)/(\d{4}),(\d+\.\d+\.\d+\.\d+)$", value("Version", "DriverVer") or "")
if not m or not (1 <= int(m.group(1)) <= 12 and 1 <= int(m.group(2)) <= 31):
    errors.append(f"DriverVer is not mm/dd/yyyy,w.x.y.z: {value('Version', 'DriverVer')}")
elif m.group(4) != want:
    errors.append(f"DriverVer says {m.group(4)}, the driver is {want}")

# The values the driver reads: the parameter table (with defaults) and the strings it reads.
source = open(f"{root}/driver/core/parameters.cpp").read()
driver = {name: int(d, 0) for name, d in re.findall(r'\{XR_W\("(\w+)"\), (0x[0-9A-Fa-f]+|\d+), [01]\}', source)}
driver.update({name: None for name in re.findall(r'ReadStringParameter\(key, XR_W\("(\w+)"\)', source)})
listed = {name: (int(v, 0) if t == "0x00010001" else None) for name, t, v in commented.get("xrusb_parameters_addreg", [])}
if len(driver) != 26:
    errors.append(f"expected the driver's 26 values, found {len(driver)} in parameters.cpp")
for name in sorted(set(driver) | set(listed)):
    if name not in listed:
        errors.append(f"{name}: the driver reads it, the INF does not list it")
    elif name not in driver:
        errors.append(f"{name}: listed in the INF, the driver does not read it")
    elif listed[name] != driver[name]:
        errors.append(f"{name}: the INF says {listed[name]}, the driver's default is {driver[name]}")

print("\n".join(errors) or "ok")
sys.exit(1 if errors else 0)

#!/usr/bin/env python3
"""The mutation run: plants each single fault of mutants.txt in a copy of the tree, rebuilds the
suites that link the driver (Debug, ASan + UBSan, so that a use after free counts), runs them until
the first failure, and reports which mutants the tests killed.

  run.py [--build DIR] [--timeout S] [--keep-going] [PATTERN ...]

PATTERNs (regular expressions) pick mutants by id; none: all. The source tree is only read: the
mutants go into DIR/src, a copy refreshed at each run, so an interrupted run leaves nothing behind.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mutants.txt")
# Every suite that links the driver, quickest to fail first.
SUITES = ["driver_tests", "lib_tests", "sim_machine_tests", "fxhex_tests"]
COPIED = ["CMakeLists.txt", "README.md", "driver", "platform", "sim", "lib", "tools", "tests", "include"]


class Mutant:
    def __init__(self, ident, kind, path, what, hunks, line):
        self.id, self.kind, self.path, self.what, self.hunks, self.line = ident, kind, path, what, hunks, line

    def apply(self, text):
        for original, replacement in self.hunks:
            text = text.replace(original, replacement, 1)
        return text


def parse(path):
    """Blocks of the form
         @ id | kind | driver/file.cpp
         # one line: the fault
         <<<
         original text (one or more whole lines)
         ===
         replacement text (may be empty)
         >>>
       with as many <<< === >>> hunks as the fault needs, all in that file.
    """
    mutants, lines, i = [], open(path).read().split("\n"), 0

    def fail(at, message):
        sys.exit(f"{path}:{at + 1}: {message}")

    def take_until(end, at):
        taken = []
        while lines[at] != end:
            if lines[at] in ("<<<", "===", ">>>") or lines[at].startswith("@ "):
                fail(at, f"expected {end}")
            taken.append(lines[at])
            at += 1
        return taken, at + 1

    while i < len(lines):
        line = lines[i]
        if not line.startswith("@ "):
            if line.strip() and not line.startswith(";"):
                fail(i, f"expected '@ id | kind | file', got: {line}")
            i += 1
            continue
        start = i
        fields = [f.strip() for f in line[2:].split("|")]
        if len(fields) != 3:
            fail(i, f"'@ id | kind | file' has {len(fields)} fields")
        if not lines[i + 1].startswith("# "):
            fail(i + 1, "expected '# what the fault is'")
        what = lines[i + 1][2:].strip()
        i += 2
        hunks = []
        while i < len(lines) and lines[i] == "<<<":
            block, i = take_until("===", i + 1)
            repl, i = take_until(">>>", i)
            hunks.append(("\n".join(block) + "\n", "\n".join(repl) + "\n" if repl else ""))
        if not hunks:
            fail(i, "expected <<<")
        mutants.append(Mutant(fields[0], fields[1], fields[2], what, hunks, start + 1))
    ids = [m.id for m in mutants]
    dup = {x for x in ids if ids.count(x) > 1}
    if dup:
        sys.exit(f"duplicate mutant ids: {sorted(dup)}")
    return mutants


def check(mutants):
    """Each original must stand exactly once in its file, as the tree has it now."""
    bad = []
    for m in mutants:
        path = os.path.join(ROOT, m.path)
        if not os.path.isfile(path):
            bad.append(f"{m.id} (list line {m.line}): no file {m.path}")
            continue
        text = open(path).read()
        for k, (original, replacement) in enumerate(m.hunks, 1):
            n = text.count(original)
            if n != 1:
                bad.append(f"{m.id} ({m.path}, list line {m.line}, hunk {k}): original text found {n} times")
            elif original == replacement:
                bad.append(f"{m.id} hunk {k}: replacement equals the original")
    if bad:
        sys.exit("mutants that do not match the source:\n  " + "\n  ".join(bad))


def mirror(src, dst):
    """Makes dst a copy of src, writing only files whose bytes differ (so that make rebuilds only
    what changed) and deleting what src lacks."""
    if os.path.isfile(src):
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        if not os.path.exists(dst) or open(src, "rb").read() != open(dst, "rb").read():
            shutil.copyfile(src, dst)
        return
    os.makedirs(dst, exist_ok=True)
    names = set(os.listdir(src))
    for name in os.listdir(dst):
        if name not in names:
            p = os.path.join(dst, name)
            shutil.rmtree(p) if os.path.isdir(p) and not os.path.islink(p) else os.remove(p)
    for name in names:
        mirror(os.path.join(src, name), os.path.join(dst, name))


def build(tree, log, suites=SUITES):
    cmd = ["cmake", "--build", tree, "-j", os.environ.get("MUTATION_JOBS", "2"), "--target", *suites]
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    with open(log, "a") as f:
        f.write(p.stdout)
    return p.returncode == 0, p.stdout


def last_test(output):
    """The failing test: gtest's FAILED line, else the last one started (a crash or an abort)."""
    failed = re.findall(r"^\[  FAILED  \] (\S+)", output, re.M)
    if failed:
        return failed[0]
    started = re.findall(r"^\[ RUN      \] (\S+)", output, re.M)
    return (started[-1] + " (crashed)") if started else "?"


def run_suites(tree, timeout, log, suites=SUITES):
    """None when every suite passed; else what killed the mutant."""
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=1",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    for suite in suites:
        exe = os.path.join(tree, "tests", suite)
        try:
            p = subprocess.run([exe, "--gtest_fail_fast"], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, errors="replace", timeout=timeout, env=env)
        except subprocess.TimeoutExpired as e:
            out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
            with open(log, "a") as f:
                f.write(out)
            return f"{suite}: timeout after {timeout} s in {last_test(out)}"
        with open(log, "a") as f:
            f.write(p.stdout)
        if p.returncode != 0:
            return f"{suite}: {last_test(p.stdout)}"
    return None


def main():
    # A terminated run unwinds as an interrupted one does, restoring the mutated file of its copy
    # (the next run would refresh the copy anyway).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "mutation"))
    ap.add_argument("--timeout", type=int, default=60, help="seconds per suite; past it the mutant is killed")
    ap.add_argument("--check", action="store_true", help="only check that every mutant applies")
    ap.add_argument("patterns", nargs="*")
    args = ap.parse_args()

    mutants = parse(LIST)
    check(mutants)
    if args.patterns:
        mutants = [m for m in mutants if any(re.search(p, m.id) for p in args.patterns)]
    if args.check:
        print(f"{len(mutants)} mutants apply")
        return 0
    if not mutants:
        sys.exit("no mutant matches")

    src, tree = os.path.join(args.build, "src"), os.path.join(args.build, "tree")
    log = os.path.join(args.build, "log.txt")
    os.makedirs(args.build, exist_ok=True)
    for name in COPIED:
        mirror(os.path.join(ROOT, name), os.path.join(src, name))
    open(log, "w").close()
    configure = ["cmake", "-S", src, "-B", tree, "-DCMAKE_BUILD_TYPE=Debug", "-DXRUSB_SANITIZE=address"]
    # Each mutant relinks every suite: a faster linker and the compiler cache pay off here.
    if shutil.which("ld.lld"):
        configure.append("-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld")
    if shutil.which("ccache"):
        configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    ok, out = build(tree, log)
    if not ok:
        sys.exit("the unmutated tree does not build:\n" + out[-3000:])
    if run_suites(tree, args.timeout, log):
        sys.exit(f"the unmutated tree fails its tests; see {log}")

    results = []
    for n, m in enumerate(mutants, 1):
        path = os.path.join(src, m.path)
        pristine = open(path).read()
        started = time.time()
        try:
            with open(path, "w") as f:
                f.write(m.apply(pristine))
            with open(log, "a") as f:
                f.write(f"\n===== {m.id}\n")
            # The first suite kills most mutants: the others are linked only for its survivors.
            verdict, detail = "SURVIVED", ""
            for suites in (SUITES[:1], SUITES[1:]):
                ok, out = build(tree, log, suites)
                if not ok:
                    verdict, detail = "unbuilt", out.strip().splitlines()[-1] if out.strip() else "?"
                    break
                killer = run_suites(tree, args.timeout, log, suites)
                if killer:
                    verdict, detail = "killed", killer
                    break
        finally:
            with open(path, "w") as f:
                f.write(pristine)
        results.append((m, verdict, detail))
        print(f"[{n}/{len(mutants)}] {verdict:8} {m.id:40} {time.time() - started:5.0f} s  {detail}", flush=True)

    scored = [r for r in results if r[1] != "unbuilt"]
    killed = sum(1 for r in scored if r[1] == "killed")
    report = [f"{'verdict':8}  {'mutant':40} {'kind':9} what / killed by"]
    for m, verdict, detail in results:
        report.append(f"{verdict:8}  {m.id:40} {m.kind:9} {m.what}" + (f"\n{'':60}{detail}" if detail else ""))
    report.append(f"\nscore: {killed}/{len(scored)} killed ({100.0 * killed / max(len(scored), 1):.1f} %)")
    unbuilt = [r[0].id for r in results if r[1] == "unbuilt"]
    if unbuilt:
        report.append(f"mutants that did not build (not scored; fix the list): {', '.join(unbuilt)}")
    text = "\n".join(report)
    open(os.path.join(args.build, "report.txt"), "w").write(text + "\n")
    print("\n" + text)
    # The restored copy must build as the tree does, so that the next run starts clean.
    build(tree, log)
    return 1 if unbuilt else 0


if __name__ == "__main__":
    sys.exit(main())

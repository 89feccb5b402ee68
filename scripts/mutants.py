#!/usr/bin/env python3
"""Mutation sampler: how many small faults do the tests catch?

From a seed it picks N places in the given source files, applies each
mutation alone to a private copy of the tree, rebuilds incrementally, runs
the unit tests and prints each mutant as killed, survived or not compiled,
then the kill rate. The working tree is never written to.

  python3 scripts/mutants.py --seed 7 -n 150 src/core src/email src/smtp src/net src/crypto
  python3 scripts/mutants.py --seed 7 -n 20 --integration Smtp src/smtp   # servers must run
  python3 scripts/mutants.py --seed 7 -n 150 --tests-from HEAD~5 --only 3,8-12 src/core ...

--tests-from REV puts the tests of another revision beside this source, so
that old and new tests are compared on one source and one sample; --only
runs the given mutants of the sample (numbers as printed) and no others;
--by-test names, for each kill, the test cases that failed in the program
that killed it, and at the end which cases alone killed a mutant: a case
that never does is one to read closely when the suite is trimmed.

Mutations: a comparison flipped (== and !=, < and >=, > and <=), < and <=
swapped (and > and >=), && and || swapped, an integer constant off by one,
return true/false inverted, a statement removed. Places are spread evenly
over the paths given and, inside each path, over the kinds of mutation.
Each mutant first meets its own layer's test program (only that one is
rebuilt; most mutants die there), then, if it lives, every unit test
program. A program that fails is run once more, so that a flaky test does
not count as a kill.
"""
import argparse
import filecmp
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE_SUFFIXES = (".cpp", ".h")
LONGEST = 1800  # seconds for a build or the unmutated test run

# (name, pattern, replacement function) applied to code with strings and
# comments blanked out, so matches never fall inside either. Order
# comparisons must stand between spaces, which keeps template brackets out.
OPERATORS = [
    ("eq-flip", re.compile(r"(?<![=!<>])==(?!=)"), lambda m: "!="),
    ("ne-flip", re.compile(r"!=(?!=)"), lambda m: "=="),
    ("lt-flip", re.compile(r"(?<=\s)<(?=\s)"), lambda m: ">="),
    ("lt-le", re.compile(r"(?<=\s)<(?=\s)"), lambda m: "<="),
    ("le-lt", re.compile(r"(?<=\s)<=(?=\s)"), lambda m: "<"),
    ("gt-flip", re.compile(r"(?<=\s)>(?=\s)"), lambda m: "<="),
    ("ge-gt", re.compile(r"(?<=\s)>=(?=\s)"), lambda m: ">"),
    ("and-or", re.compile(r"&&"), lambda m: "||"),
    ("or-and", re.compile(r"\|\|"), lambda m: "&&"),
    ("const-off", re.compile(r"(?<![\w.])(\d+)(?![\w.'])"), lambda m: str(int(m.group(1)) + 1)),
    ("return-flip", re.compile(r"\breturn (true|false);"),
     lambda m: "return %s;" % ("false" if m.group(1) == "true" else "true")),
]
STATEMENT = re.compile(r"^(\s*)([A-Za-z_][\w:.\->\[\]()]*\s*(\(.*\)|[-+*/|&]?=.*|\+\+|--));\s*$")
SKIP_LINE = re.compile(r"^\s*(#|template\b|static_assert\b|case\b)")


def blank_literals(line):
    """The line with string/char literals and // comments replaced by spaces."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            if c == quote:
                quote = None
            out.append(" ")
        elif c in "\"'":
            quote = c
            out.append(" ")
        elif line.startswith("//", i):
            out.append(" " * (len(line) - i))
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)[: len(line)]


def candidates(path):
    """Every (line index, start, end, replacement, operator name) in one file."""
    found, in_block_comment = [], False
    for n, line in enumerate(path.read_text(encoding="utf-8", errors="replace").split("\n")):
        if in_block_comment or "/*" in line:
            in_block_comment = "*/" not in line.split("/*")[-1]
            continue
        if SKIP_LINE.match(line) or "include" in line:
            continue
        code = blank_literals(line)
        if "template" in code or "operator" in code:
            continue
        for name, pat, repl in OPERATORS:
            for m in pat.finditer(code):
                found.append((n, m.start(), m.end(), repl(m), name))
        st = STATEMENT.match(code)
        if st and not code.lstrip().startswith(("return", "break", "continue")):
            found.append((n, len(st.group(1)), len(line.rstrip()), ";", "stmt-del"))
    return found


def pick(paths, count, seed):
    """count mutants spread evenly over paths and, inside each path, over
    the kinds of mutation; reproducible from seed."""
    rng = random.Random(seed)
    groups = []
    for p in paths:
        p = Path(p)
        files = [p] if p.is_file() else sorted(f for f in p.rglob("*") if f.suffix in SOURCE_SUFFIXES)
        kinds = {}
        for f in files:
            for c in candidates(ROOT / f if not f.is_absolute() else f):
                kinds.setdefault(c[4], []).append((f, c))
        pools = [kinds[k] for k in sorted(kinds)]
        for pool in pools:
            rng.shuffle(pool)
        rng.shuffle(pools)
        groups.append(pools)
    chosen, turn = [], 0
    while len(chosen) < count and any(any(g) for g in groups):
        pools = groups[turn % len(groups)]
        live = [pool for pool in pools if pool]
        if live:
            chosen.append(live[(turn // len(groups)) % len(live)].pop())
        turn += 1
    return chosen


def failed_cases(report):
    """Suite.Case of each failed case in a gtest XML report. Read as bytes:
    failure messages may quote bytes that are not well-formed XML."""
    cases = []
    for chunk in report.read_bytes().decode("latin-1").split("<testcase ")[1:]:
        head = chunk.split(">", 1)[0]
        if "<failure" in chunk.split("</testcase>")[0]:
            name = re.search(r'(?:^| )name="([^"]*)"', head)
            suite = re.search(r'classname="([^"]*)"', head)
            cases.append("%s.%s" % (suite.group(1) if suite else "?", name.group(1) if name else "?"))
    return cases or ["(a failure outside any case)"]


def program_name(cmd):
    """A test command's short name: the program, or ctest and its label."""
    return "ctest " + cmd[-1] if "ctest" in cmd[0] else Path(cmd[0]).name


def start(cmd, cwd):
    return subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def finish(proc, timeout):
    """The exit status, or None when the process outlived timeout; the
    whole process group goes, so a hung test leaves nothing behind."""
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()


def run(cmd, cwd, timeout):
    return finish(start(cmd, cwd), timeout)


class Sandbox:
    """A copy of the tracked tree with its own build folder."""

    def __init__(self, work, jobs, integration, tests_from=None, by_test=False):
        self.by_test = by_test
        self.failed = []  # with by_test: the failed cases of the killing program
        self.src = Path(work) / "src-tree"
        self.build = Path(work) / "build"
        self.jobs = str(jobs)
        self.integration = integration
        self.limit = LONGEST
        files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, stdout=subprocess.PIPE,
                               check=True).stdout.decode().split("\0")
        for f in filter(None, files):
            dest = self.src / f
            dest.parent.mkdir(parents=True, exist_ok=True)
            # Only what differs, and with a new time: a reused --work folder
            # then rebuilds a file a killed run left mutated, and nothing else.
            if (ROOT / f).is_file() and not (dest.is_file() and filecmp.cmp(ROOT / f, dest, shallow=False)):
                shutil.copy(ROOT / f, dest)
        if tests_from:
            shutil.rmtree(self.src / "tests")
            archive = subprocess.run(["git", "archive", tests_from, "tests"], cwd=ROOT,
                                     stdout=subprocess.PIPE, check=True).stdout
            subprocess.run(["tar", "-x", "-m", "-C", str(self.src)], input=archive, check=True)

    def configure(self):
        launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
        return run(["cmake", "-S", str(self.src), "-B", str(self.build), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DOSTMAIL_BENCH=OFF"] + launcher,
                   ROOT, LONGEST) == 0

    def compile(self, *targets):
        return run(["ninja", "-C", str(self.build), "-j", self.jobs] + list(targets), ROOT, LONGEST) == 0

    def own_program(self, path):
        """The test program of the layer that path belongs to, if there is one."""
        parts = Path(path).parts
        name = "test_" + parts[1] if len(parts) > 2 and parts[0] == "src" else ""
        return name if (self.build / "tests" / name).is_file() else None

    def verdict(self, path):
        """The layer's own tests first: most mutants die there, and then
        nothing else needs building."""
        own = self.own_program(path)
        if own:
            if not self.compile(own):
                return "not compiled"
            if not self.tests_pass([[str(self.build / "tests" / own), "--gtest_brief=1"]]):
                return "killed"
        if not self.compile():
            return "not compiled"
        return "survived" if self.tests_pass(skip=own) else "killed"

    def unit_programs(self, skip=None):
        """Each layer's test program (one process per program, not per case:
        far faster than ctest), then the fuzz replays through ctest."""
        progs = sorted(p for p in (self.build / "tests").glob("test_*")
                       if p.is_file() and os.access(p, os.X_OK) and p.name not in ("test_integration", skip))
        cmds = [[str(p), "--gtest_brief=1"] for p in progs]
        cmds.append(["ctest", "--test-dir", str(self.build), "-L", "fuzz"])
        if self.integration:
            cmds.append(["ctest", "--test-dir", str(self.build), "-L", "integration", "-R", self.integration])
        return cmds

    def tests_pass(self, programs=None, skip=None):
        """True when every test passes. A hang (past a few times the
        unmutated run) counts as a failure; a failure counts only when the
        failed program fails again."""
        pending = programs or self.unit_programs(skip)
        deadline = time.monotonic() + self.limit
        while pending:
            batch, pending = pending[: int(self.jobs)], pending[int(self.jobs):]
            procs = [start(c, self.build / "tests") for c in batch]
            for cmd, proc in zip(batch, procs):
                rc = finish(proc, max(1, deadline - time.monotonic()))
                if rc is None:
                    self.failed = [program_name(cmd) + " (hung)"]
                    return False
                if rc != 0 and self.fails_again(cmd):
                    return False
        return True

    def fails_again(self, cmd):
        """Reruns a failed program; with by_test, notes its failed cases."""
        report = self.build / "cases.xml"
        extra = ["--gtest_output=xml:%s" % report] if self.by_test and "ctest" not in cmd[0] else []
        report.unlink(missing_ok=True)
        if run(cmd + extra, self.build / "tests", self.limit) == 0:
            return False
        self.failed = failed_cases(report) if report.is_file() else [program_name(cmd) + " (crashed)"]
        return True

    def calibrate(self):
        """Runs the unmutated tests; their time sets the hang limit."""
        start = time.monotonic()
        ok = self.tests_pass()
        self.limit = max(60, 4 * (time.monotonic() - start))
        return ok


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("paths", nargs="+", help="source files or folders, relative to the project")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("-n", type=int, default=150, help="how many mutants")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--integration", metavar="REGEX", help="also run the integration tests matching REGEX")
    ap.add_argument("--work", help="folder for the copy (default: a new temporary folder)")
    ap.add_argument("--list", action="store_true", help="only print the chosen mutants")
    ap.add_argument("--tests-from", metavar="REV", help="take tests/ from this git revision")
    ap.add_argument("--only", metavar="LIST", help="run only these mutants, e.g. 3,8-12")
    ap.add_argument("--by-test", action="store_true", help="name the failed test cases of each kill")
    args = ap.parse_args()

    chosen = pick(args.paths, args.n, args.seed)
    if args.list:
        for f, (n, a, b, r, name) in chosen:
            print("%s:%d %s -> %r" % (f, n + 1, name, r))
        return 0
    work = args.work or tempfile.mkdtemp(prefix="ostmail-mutants.")
    wanted = set()
    for part in filter(None, (args.only or "").split(",")):
        lo, _, hi = part.partition("-")
        wanted.update(range(int(lo), int(hi or lo) + 1))
    box = Sandbox(work, args.jobs, args.integration, args.tests_from, args.by_test)
    if not (box.configure() and box.compile() and box.calibrate()):
        print("the unmutated copy does not build or pass its tests (in %s)" % work)
        return 2
    tally = {"killed": 0, "survived": 0, "not compiled": 0}
    alone, beside = {}, set()  # by_test: case -> kills it made alone; cases that only helped
    for i, (f, (n, a, b, r, name)) in enumerate(chosen, 1):
        if wanted and i not in wanted:
            continue
        target = box.src / f
        original = target.read_text(encoding="utf-8", errors="surrogateescape")
        lines = original.split("\n")
        before = lines[n]
        lines[n] = before[:a] + r + before[b:]
        target.write_text("\n".join(lines), encoding="utf-8", errors="surrogateescape")
        box.failed = []
        try:
            verdict = box.verdict(f)
        finally:
            target.write_text(original, encoding="utf-8", errors="surrogateescape")
        tally[verdict] += 1
        print("%3d %-12s %s:%d %s: %s" % (i, verdict, f, n + 1, name, before.strip()[:90]), flush=True)
        if args.by_test and verdict == "killed":
            print("    by " + ", ".join(box.failed), flush=True)
            cases = [c for c in box.failed if not c.endswith(")")]  # not a crash or a hang
            if len(cases) == 1:
                alone[cases[0]] = alone.get(cases[0], 0) + 1
            else:
                beside.update(cases)
    box.compile()
    compiled = tally["killed"] + tally["survived"]
    rate = 100.0 * tally["killed"] / compiled if compiled else 0.0
    print("killed %d, survived %d, not compiled %d: kill rate %.1f%% of %d compiled mutants (seed %d)"
          % (tally["killed"], tally["survived"], tally["not compiled"], rate, compiled, args.seed))
    if args.by_test:
        print("killed alone: " + ", ".join("%s %d" % kv for kv in sorted(alone.items())))
        print("only beside others: " + ", ".join(sorted(beside - set(alone))))
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The mutation check: applies each fault of tests/mutants/faults.py, one at a time, to a
scratch copy of the tree (build/mutants/src, with build trees of its own), builds what the
fault's tests need, runs those tests and says whether they noticed.

usage: mutants.py [--list] [FAULT_ID ...]

The working tree is only read: the scratch copy is refreshed from the files git tracks, as
they stand in the working tree. A table that does not match the sources is refused before
anything is built; a baseline (the unmutated copy, every test the table names) must pass
before any fault is tried. Exit code 0 only when every fault tried was caught.
"""
import argparse
import fnmatch
import os
import re
import runpy
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WORK = os.path.join(ROOT, "build", "mutants")
SRC = os.path.join(WORK, "src")
LOGS = os.path.join(WORK, "logs")
REPORT = os.path.join(WORK, "report.txt")
WINE_TREES = ("wine32", "wine64")
TABLE_TREES = ("native", "wine", "wine32", "wine64", "release")
EVERY_FIXTURE = "."  # a ctest fixture pattern: the Wine prefixes that tests/wine/CMakeLists.txt sets up
ID_PATTERN = re.compile(r"^[a-z0-9][a-z0-9-]*$")
NAME_PATTERN = re.compile(r"^[A-Za-z0-9_]+$")



def tree_setting(tree_dir, name):
    """A cache variable of a configured build tree (the Wine it found, say), or None."""
    try:
        with open(os.path.join(tree_dir, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.rstrip("\n").partition("=")[2]
    except OSError:
        pass
    return None

class Selection:
    """One test a fault names: its tree (as written, and as resolved), ctest name, gtest filter."""

    def __init__(self, written):
        parts = written.split(":", 2)
        if len(parts) < 2:
            raise ValueError("%r is not tree:ctest_name[:gtest_filter]" % written)
        self.written = written
        self.table_tree, self.name = parts[0], parts[1]
        self.gtest_filter = parts[2] if len(parts) == 3 else ""
        self.tree = self.table_tree
        if self.table_tree not in TABLE_TREES:
            raise ValueError("%r: unknown tree %r (one of %s)" % (written, self.table_tree, ", ".join(TABLE_TREES)))
        if not NAME_PATTERN.match(self.name):
            raise ValueError("%r: %r is not a ctest name" % (written, self.name))

    def label(self):
        return "%s:%s%s" % (self.tree, self.name, "[%s]" % self.gtest_filter if self.gtest_filter else "")


def load_table():
    path = os.path.join(ROOT, "tests", "mutants", "faults.py")
    return runpy.run_path(path)["FAULTS"]


def tracked_files():
    out = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], capture_output=True, check=True).stdout
    return [f.decode() for f in out.split(b"\0") if f]


def validate(faults, tracked):
    """Every problem of the table, as lines; none for a table that can be run."""
    problems = []
    seen = set()
    for index, fault in enumerate(faults):
        where = "row %d (%s)" % (index + 1, getattr(fault, "id", "?"))
        if len(fault) != 6:
            problems.append("%s: a record has 6 fields" % where)
            continue
        if not isinstance(fault.id, str) or not ID_PATTERN.match(fault.id):
            problems.append("%s: the id must be lower-case letters, digits and dashes" % where)
        elif fault.id in seen:
            problems.append("%s: the id is used twice" % where)
        seen.add(fault.id)
        if not fault.what or "\n" in fault.what:
            problems.append("%s: the description must be one line" % where)
        if fault.file not in tracked or not os.path.isfile(os.path.join(ROOT, fault.file)):
            problems.append("%s: %s is not a tracked file of the tree" % (where, fault.file))
        else:
            with open(os.path.join(ROOT, fault.file), encoding="utf-8") as f:
                count = f.read().count(fault.original) if fault.original else 0
            if count != 1:
                problems.append("%s: the original text occurs %d times in %s (it must occur once)" % (
                    where, count, fault.file))
        if fault.replacement == fault.original:
            problems.append("%s: the replacement changes nothing" % where)
        if not fault.tests:
            problems.append("%s: no test is named to notice it" % where)
        for written in fault.tests:
            try:
                Selection(written)
            except ValueError as error:
                problems.append("%s: %s" % (where, error))
    return problems


def sync_scratch(files):
    """Makes SRC hold exactly the tracked files; files whose bytes are unchanged keep their
    time stamps, so that the scratch build trees stay incremental."""
    os.makedirs(SRC, exist_ok=True)
    wanted = set()
    for rel in files:
        source = os.path.join(ROOT, rel)
        if not os.path.isfile(source):  # deleted in the working tree
            continue
        wanted.add(rel)
        target = os.path.join(SRC, rel)
        with open(source, "rb") as f:
            data = f.read()
        current = None
        if os.path.isfile(target):
            with open(target, "rb") as f:
                current = f.read()
        if current != data:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)
        shutil.copymode(source, target)
    for folder, dirs, names in os.walk(SRC):
        rel_folder = os.path.relpath(folder, SRC)
        if rel_folder == ".":
            dirs[:] = [d for d in dirs if d != "build"]
        for name in names:
            rel = os.path.normpath(os.path.join(rel_folder, name))
            if rel not in wanted:
                os.remove(os.path.join(folder, name))


def write_text(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


class Runner:
    def __init__(self, wine_tree, log):
        self.wine_tree = wine_tree
        self.log = log
        self.baseline_seconds = {}  # (tree, ctest name) -> seconds
        self.last_seconds = {}  # the same, of the ctest calls since the last reset
        self.gtest_cases = {}  # (tree, ctest name) -> the gtest cases it ran at the baseline

    def resolve(self, selection):
        if selection.table_tree == "wine":
            selection.tree = self.wine_tree
        return selection

    # ---- commands ----
    def run(self, command, env=None, timeout=None):
        """Runs `command` in SRC, its output appended to the log; (exit code, output, timed out)."""
        self.log.write("\n$ %s\n" % " ".join(command))
        self.log.flush()
        process = subprocess.Popen(command, cwd=SRC, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   text=True, errors="replace", start_new_session=True)
        try:
            output, _ = process.communicate(timeout=timeout)
            timed_out = False
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)  # the group this call started
            output, _ = process.communicate()
            timed_out = True
        self.log.write(output)
        self.log.flush()
        return (None if timed_out else process.returncode), output, timed_out

    def configure(self, tree):
        code, _, _ = self.run(["cmake", "--preset", tree])
        return code == 0

    def build(self, trees):
        """Builds `trees`, the release tree first when wine32 is among them (its end-to-end
        tests run the release tree's product). The first tree that fails, or None."""
        order = []
        for tree in trees:
            if tree == "wine32" and "release" not in order:
                order.append("release")
            if tree not in order:
                order.append(tree)
        for tree in order:
            code, _, _ = self.run(["cmake", "--build", "--preset", tree])
            if code != 0:
                return tree
        return None

    def end_wine(self, tree):
        """Ends the wineservers of the tree's prefixes, where one is running."""
        build = os.path.join(SRC, "build", tree) + os.sep
        for name in sorted(os.listdir(build)):
            if os.path.isfile(os.path.join(build, name, "system.reg")):
                env = dict(os.environ, WINEPREFIX=os.path.join(build, name))
                subprocess.run([tree_setting(build, "WEB_INSTALLER_WINESERVER") or "wineserver", "-k"], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A test killed half-way may leave the small disks it mounted in its scratch folder.
        with open("/proc/mounts") as f:
            mounts = [line.split()[1] for line in f]
        for point in reversed(mounts):
            point = point.replace("\\040", " ")
            if point.startswith(build):
                subprocess.run(["umount", point], stderr=subprocess.DEVNULL)

    def tests_cwd(self, tree):
        """Where the Windows-side tests run: a launcher that misplaces its work folder puts it here."""
        return os.path.join(SRC, "build", tree, "tests", "wine")

    def tidy(self, tree, before):
        """Removes what the tests of `tree` left in the build tree: their scratch folder, and the
        entries of their working directory that were not there before them (a fault that
        misplaces the work folder would otherwise fail every later fault's tests)."""
        shutil.rmtree(os.path.join(SRC, "build", tree, "scratch"), ignore_errors=True)
        cwd = self.tests_cwd(tree)
        for name in set(os.listdir(cwd)) - before:
            path = os.path.join(cwd, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.remove(path)

    def listed_tests(self, tree):
        code, output, _ = self.run(["ctest", "--preset", tree, "-N"])
        if code != 0:
            return set()
        return set(re.findall(r"Test\s+#\d+: (\S+)", output))

    def ctest(self, tree, names, gtest_filter, fixture_args, timeout):
        """One ctest call over `names`; returns (status by test, failed gtest cases, gtest
        cases run by test, timed out)."""
        env = dict(os.environ)
        env.pop("GTEST_FILTER", None)
        if gtest_filter:
            env["GTEST_FILTER"] = gtest_filter
        command = ["ctest", "--preset", tree, "-V", "-R", "^(%s)$" % "|".join(names)] + fixture_args
        _, output, timed_out = self.run(command, env=env, timeout=timeout)
        status = {}
        for name, state, seconds in re.findall(r"Test\s+#\d+: (\S+) \.*\s*(.*?)\s+([\d.]+) sec\s*$", output, re.M):
            state = state.lstrip("*").strip()
            status[name] = next((s for s in ("Passed", "Skipped", "Not Run") if state.startswith(s)), state or "Failed")
            self.last_seconds[(tree, name)] = float(seconds)
        numbers = dict(re.findall(r"^\s*Start\s+(\d+): (\S+)", output, re.M))
        cases = {}
        for number, case in re.findall(r"^(\d+): \[ RUN      \] (\S+)", output, re.M):
            cases.setdefault(numbers.get(number, "?"), []).append(case)
        failed = sorted(set(re.findall(r"\[  FAILED  \] ([A-Za-z0-9_]+\.[A-Za-z0-9_/]+)", output)))
        return status, failed, cases, timed_out

    # ---- the baseline ----
    def baseline(self, selections):
        """Runs every named test, unfiltered, on the unmutated copy; the problems found."""
        self.last_seconds = {}
        problems = []
        by_tree = {}
        for s in selections:
            by_tree.setdefault(s.tree, set()).add(s.name)
        for tree, names in by_tree.items():
            names = sorted(names)
            before = set(os.listdir(self.tests_cwd(tree))) if tree in WINE_TREES else set()
            status, _, cases, timed_out = self.ctest(tree, names, "", [], timeout=3600)
            if tree in WINE_TREES:
                self.end_wine(tree)
                self.tidy(tree, before)
            for name in names:
                state = status.get(name, "not run")
                if timed_out or state not in ("Passed", "Skipped"):
                    problems.append("%s:%s %s" % (tree, name, "timed out" if timed_out else state))
                self.gtest_cases[(tree, name)] = cases.get(name, [])
        self.baseline_seconds = dict(self.last_seconds)
        for s in selections:
            if s.gtest_filter and not any(gtest_matches(s.gtest_filter, c) for c in self.gtest_cases[(s.tree, s.name)]):
                problems.append("%s: the filter matches none of the test's cases" % s.written)
        return problems

    # ---- one fault ----
    def try_fault(self, fault, selections):
        """Applies the fault, builds, runs its tests until one fails, restores the file.
        Returns (verdict, details, the tests that ran and passed)."""
        path = os.path.join(SRC, fault.file)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        try:
            write_text(path, original.replace(fault.original, fault.replacement, 1))
            broken = self.build(list(dict.fromkeys(s.tree for s in selections)))
            if broken:
                return "DID NOT BUILD", "the %s tree does not build" % broken, []
            return self.run_tests(selections)
        finally:
            write_text(path, original)

    def run_tests(self, selections):
        # One ctest call per tree and filter, in the table's order; a Wine tree's prefixes are
        # set up by the first call of that tree and ended by its last.
        groups = []
        for s in selections:
            key = (s.tree, s.gtest_filter)
            for group in groups:
                if group[0] == key:
                    group[1].append(s)
                    break
            else:
                groups.append((key, [s]))
        ran = []
        wine_trees = [t for t in dict.fromkeys(g[0][0] for g in groups) if t in WINE_TREES]
        before = {t: set(os.listdir(self.tests_cwd(t))) for t in wine_trees}
        try:
            for index, ((tree, gtest_filter), members) in enumerate(groups):
                names = list(dict.fromkeys(s.name for s in members))
                same_tree = [i for i, g in enumerate(groups) if g[0][0] == tree]
                fixture_args = []
                if tree in WINE_TREES and len(same_tree) > 1:
                    if index != same_tree[0]:
                        fixture_args += ["-FS", EVERY_FIXTURE]
                    if index != same_tree[-1]:
                        fixture_args += ["-FC", EVERY_FIXTURE]
                budget = sum(self.baseline_seconds.get((tree, n), 60.0) for n in names)
                timeout = 120 + 4 * budget
                status, failed, _, timed_out = self.ctest(tree, names, gtest_filter, fixture_args, timeout)
                label = ", ".join(s.label() for s in members)
                if timed_out:
                    return "CAUGHT", "caught by %s (timed out after %d s)" % (label, timeout), ran
                states = [status.get(n, "not run") for n in names]
                if any(state in ("Not Run", "not run") for state in states):
                    return "ERROR", "%s not run: %s" % (label, ", ".join(states)), ran
                bad = [n for n, state in zip(names, states) if state not in ("Passed", "Skipped")]
                if bad:
                    cases = (" (%s%s)" % (", ".join(failed[:2]), ", ..." if len(failed) > 2 else "")) if failed else ""
                    culprits = ", ".join(s.label() for s in members if s.name in bad)
                    return "CAUGHT", "caught by %s%s" % (culprits, cases), ran
                ran.append(label)
            return "SURVIVED", "", ran
        finally:
            for tree in wine_trees:
                self.end_wine(tree)
                self.tidy(tree, before[tree])


def gtest_matches(gtest_filter, case):
    """GoogleTest's filter: positive patterns, then after a '-' negative ones, ':'-separated."""
    positive, _, negative = gtest_filter.partition("-")
    matches = lambda patterns: any(fnmatch.fnmatchcase(case, p) for p in patterns.split(":") if p)
    return matches(positive or "*") and not matches(negative)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--list", action="store_true", help="check the table, list it and stop")
    parser.add_argument("ids", nargs="*", help="only these faults, by id or shell pattern (default: all)")
    args = parser.parse_args()
    started = time.time()

    faults = load_table()
    problems = validate(faults, set(tracked_files()))
    # An id may be a shell pattern ('hold-*'); one that names no fault is refused.
    unknown = sorted(p for p in args.ids if not any(fnmatch.fnmatchcase(f.id, p) for f in faults))
    problems += ["no fault has the id %s" % i for i in unknown]
    if problems:
        print("mutants: the fault table is refused:")
        for line in problems:
            print("  " + line)
        return 2
    chosen = [f for f in faults if not args.ids or any(fnmatch.fnmatchcase(f.id, p) for p in args.ids)]
    if args.list:
        for f in chosen:
            print("%-30s %s  [%s]  %s" % (f.id, f.file, ", ".join(f.tests), f.what))
        print("%d faults; the table is consistent with the sources" % len(chosen))
        return 0

    probe = subprocess.run(["bash", os.path.join(ROOT, "scripts", "probe_32bit.sh")], capture_output=True, text=True)
    probe_line = probe.stdout.strip()
    if probe.returncode == 0:
        wine_tree = "wine32"
        print("Windows-side tests: wine32, the shipped 32-bit product and the tests built like it under 32-bit "
              "Wine, because %s" % probe_line)
    else:
        wine_tree = "wine64"
        print("Windows-side tests: wine64, the 64-bit twin built from the same sources, because %s" % probe_line)

    os.makedirs(LOGS, exist_ok=True)
    head = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"], capture_output=True,
                           text=True).stdout.strip()
    print("sources: the tracked files at %s%s, copied to %s" % (
        head.strip(), " with uncommitted changes" if dirty else "", os.path.relpath(SRC, ROOT)))
    sync_scratch(tracked_files())

    with open(os.path.join(LOGS, "baseline.log"), "w") as log:
        runner = Runner(wine_tree, log)
        plans = [(f, [runner.resolve(Selection(written)) for written in f.tests]) for f in chosen]
        selections = [s for _, plan in plans for s in plan]
        trees = list(dict.fromkeys(s.tree for s in selections))
        if "wine32" in trees and "release" not in trees:
            trees.insert(trees.index("wine32"), "release")
        for tree in trees:
            if not runner.configure(tree):
                print("mutants: the %s tree does not configure (see %s)" % (tree, log.name))
                return 1
        missing = []
        for tree in trees:
            listed = runner.listed_tests(tree)
            missing += sorted({"%s:%s" % (tree, s.name) for s in selections if s.tree == tree and s.name not in listed})
        if missing:
            print("mutants: the fault table is refused: no such test: %s" % ", ".join(missing))
            return 2
        t0 = time.time()
        broken = runner.build(trees)
        if broken:
            print("BASELINE FAILED: the unmutated copy does not build in the %s tree (see %s)" % (broken, log.name))
            return 1
        problems = runner.baseline(selections)
        if problems:
            print("BASELINE FAILED: the unmutated copy fails tests the table relies on (see %s; after an "
                  "interrupted run, remove %s and try again):" % (log.name, os.path.relpath(WORK, ROOT)))
            for line in problems:
                print("  " + line)
            return 1
        print("baseline: built %s and passed %s in %.0f s" % (
            ", ".join(trees), ", ".join(sorted({"%s:%s" % (s.tree, s.name) for s in selections})), time.time() - t0))

    results = []
    width = max(len(f.id) for f in chosen)
    with open(REPORT, "w") as report:
        for number, (fault, plan) in enumerate(plans, 1):
            t0 = time.time()
            with open(os.path.join(LOGS, fault.id + ".log"), "w") as log:
                runner.log = log
                verdict, details, ran = runner.try_fault(fault, plan)
            seconds = time.time() - t0
            passed = ("passed: " if verdict == "SURVIVED" else "; passed first: ") + ", ".join(ran) if ran else ""
            line = "%3d %-*s | %-13s | %4.0f s | %s | %s%s" % (
                number, width, fault.id, verdict, seconds, fault.what, details, passed)
            print(line, flush=True)
            report.write(line + "\n")
            results.append(verdict)
        total = time.time() - started
        counts = {v: results.count(v) for v in ("CAUGHT", "SURVIVED", "DID NOT BUILD", "ERROR")}
        summary = "summary: %d faults: %d caught, %d survived%s%s; Windows-side tree %s; whole run %d min %02d s" % (
            len(results), counts["CAUGHT"], counts["SURVIVED"],
            ", %d did not build" % counts["DID NOT BUILD"] if counts["DID NOT BUILD"] else "",
            ", %d could not be judged (test set-up failed)" % counts["ERROR"] if counts["ERROR"] else "",
            wine_tree, total // 60, total % 60)
        print(summary)
        report.write(summary + "\n")
    print("logs: %s; table: %s" % (os.path.relpath(LOGS, ROOT), os.path.relpath(REPORT, ROOT)))
    return 0 if counts["CAUGHT"] == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The launcher against the platform floor, with the full sample payload, in one session,
at both widths: the product's own build (i686, the release options) under 32-bit Wine and
its twin (x86_64) under wine64, each against a floor harness built the same way.

Runs, interleaved, ROUNDS times each in a fresh work folder: for each width the launcher end
to end (the sample installer ends at once), the floor harness, the floor harness with the
installer's start and wait, and a trivial Windows program (what starting any program costs
under that Wine); and natively, as context, cabextract and cp of the same cabinet. Then, per
width, times a second copy started while a first one waits for its installer, reads the
launcher's peak resident memory and counts the payload's writes from a trace; and prints
and stores the table.

usage: benchmark.py OUT_DIR ROUNDS WIDTH:TREE [WIDTH:TREE]    (WIDTH: i686 or x86_64)
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

GUID = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}"
WIDTHS = {
    "i686": {"arch": "win32",
             "launcher": "product's build (i686, release options), 32-bit Wine"},
    "x86_64": {"arch": "win64", "launcher": "twin (x86_64), wine64"},
}



def wine_of(tree):
    """The Wine loader and server that a configured tree found (cmake/wine.cmake)."""
    found = {}
    with open(os.path.join(tree, "CMakeCache.txt")) as f:
        for line in f:
            name, _, value = line.rstrip("\n").partition("=")
            found[name.split(":")[0]] = value
    return found["WEB_INSTALLER_WINE"], found["WEB_INSTALLER_WINESERVER"]

class Width:
    """One width's programs, prefix, temp directory (a tmpfs when one can be mounted) and
    wineserver, kept alive between runs so that no run pays for starting it."""

    def __init__(self, name, tree, out):
        self.name = name
        self.wine, self.wineserver = wine_of(tree)
        self.launcher = os.path.join(tree, "Web_Installer_full.exe")
        self.floor = os.path.join(tree, "bench", "floor_harness.exe")
        self.trivial = os.path.join(tree, "bench", "trivial.exe")
        self.cabinet = os.path.join(tree, "payload", "full.cab")
        prefix = os.path.join(out, "prefix-" + name)
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEARCH=WIDTHS[name]["arch"], WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        for var in ("WI_SAMPLE_HOLD_EVENT", "WI_SAMPLE_HOLD_MS", "WI_SAMPLE_RECORD"):
            self.env.pop(var, None)
        subprocess.run([self.wine, "wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        subprocess.run([self.wineserver, "-w"], env=self.env, check=True)
        self.temp = os.path.join(prefix, "drive_c", "bench-temp")
        os.makedirs(self.temp)
        # Work folders in memory when the machine allows it: the disk's write-back otherwise
        # lands on whichever run happens to be going, and buries the differences measured.
        self.on_tmpfs = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2g", "tmpfs", self.temp],
                                       stderr=subprocess.DEVNULL).returncode == 0
        for var in ("TEMP", "TMP"):
            self.wine_cmd("reg", "add", "HKCU\\Environment", "/v", var, "/t", "REG_SZ", "/d", "C:\\bench-temp", "/f")
        subprocess.run([self.wineserver, "-w"], env=self.env, check=True)
        self.server = subprocess.Popen([self.wineserver, "-f", "-p"], env=self.env)

    def wine_cmd(self, *args, env=None):
        return subprocess.run([self.wine] + list(args), env=env or self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)

    def end(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        self.server.wait(timeout=30)
        if self.on_tmpfs:
            subprocess.run(["umount", self.temp], stderr=subprocess.DEVNULL)


def timed(argv, env):
    # Every run starts with no dirty pages of an earlier one to write back: the runs write
    # 136 to 143 MB each, and whichever run follows would otherwise pay for them.
    os.sync()
    start = time.perf_counter()
    p = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    return time.perf_counter() - start, os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)


def second_copies(w, rounds, codes):
    """A second copy while the first waits for its installer, held for a while."""
    fresh(os.path.join(w.temp, GUID))
    record = os.path.join(w.temp, "record.txt")
    held = dict(w.env, WI_SAMPLE_HOLD_EVENT="benchmark_never_set", WI_SAMPLE_HOLD_MS="20000",
                WI_SAMPLE_RECORD="C:\\bench-temp\\record.txt")
    first = subprocess.Popen([w.wine, w.launcher], env=held, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 120
    while not os.path.exists(record) and time.time() < deadline:
        time.sleep(0.05)
    seconds = []
    for _ in range(rounds):
        t, code, _ = timed([w.wine, w.launcher], w.env)
        seconds.append(t)
        codes.add(code)
    # The first copy ends when its installer has waited out its time: no process is killed.
    first.wait(timeout=120)
    return seconds


def traced_writes(w):
    """The sizes of the payload's writes larger than 1 MiB, from a trace of one run."""
    fresh(os.path.join(w.temp, GUID))
    w.wine_cmd("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ", "/d",
               "kernel32.WriteFile", "/f")
    trace = subprocess.run([w.wine, w.launcher], env=dict(w.env, WINEDEBUG="+pid,+relay"), capture_output=True,
                           text=True, errors="replace").stderr
    w.wine_cmd("reg", "delete", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/f")
    writes = [line for line in trace.splitlines() if "Call KERNEL32.WriteFile(" in line]
    sizes = [int(line.split("(")[1].split(",")[2], 16) & 0xFFFFFFFF for line in writes]
    return [s for s in sizes if s > 1 << 20]


def main():
    out, rounds = os.path.abspath(sys.argv[1]), int(sys.argv[2])
    cards = [a.split(":", 1) for a in sys.argv[3:]]  # NAME:TREE, one card per width
    for name, tree in cards:
        prefix = os.path.join(out, "prefix-" + name)
        if os.path.isdir(prefix):  # end an earlier run's wineserver before its prefix goes
            env = dict(os.environ, WINEPREFIX=prefix)
            server = wine_of(tree)[1]
            subprocess.run([server, "-k"], env=env, stderr=subprocess.DEVNULL)
            subprocess.run([server, "-w"], env=env, stderr=subprocess.DEVNULL)
            subprocess.run(["umount", os.path.join(prefix, "drive_c", "bench-temp")], stderr=subprocess.DEVNULL)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    native = os.path.join(out, "native")

    widths = []
    try:
        for name, tree in cards:
            widths.append(Width(name, os.path.abspath(tree), out))
        runs = {(w.name, k): [] for w in widths for k in ("launcher", "floor", "floor+launch", "trivial")}
        runs.update({("native", "cabextract"): [], ("native", "cp"): []})
        peak = {w.name: 0 for w in widths}
        codes = {w.name: set() for w in widths}
        for w in widths:
            timed([w.wine, w.trivial], w.env)  # warm the prefix once
        for _ in range(rounds):
            for w in widths:
                fresh(os.path.join(w.temp, GUID))
                t, code, rss = timed([w.wine, w.launcher], w.env)
                runs[(w.name, "launcher")].append(t)
                codes[w.name].add(code)
                peak[w.name] = max(peak[w.name], rss)
                fresh(os.path.join(w.temp, "floor"))
                runs[(w.name, "floor")].append(timed([w.wine, w.floor], w.env)[0])
                fresh(os.path.join(w.temp, "floor"))
                runs[(w.name, "floor+launch")].append(timed([w.wine, w.floor, "launch"], w.env)[0])
                runs[(w.name, "trivial")].append(timed([w.wine, w.trivial], w.env)[0])
            cabinet = widths[0].cabinet
            for tool, argv in (("cabextract", ["cabextract", "-q", "-d", native, cabinet]), ("cp", ["cp", cabinet, native])):
                fresh(native)
                os.makedirs(native)
                runs[("native", tool)].append(timed(argv, os.environ)[0])
        for w in widths:
            runs[(w.name, "second copy")] = second_copies(w, rounds, codes[w.name])
        big = {w.name: traced_writes(w) for w in widths}
    finally:
        for w in widths:
            w.end()

    med = {k: statistics.median(v) for k, v in runs.items()}
    wine_version = subprocess.run([widths[0].wine, "--version"], capture_output=True, text=True).stdout.strip()
    lines = ["# Benchmark: the launcher against the platform floor, at both widths", "",
             "full sample payload; %d rounds each, interleaved across both widths; %s" % (rounds, wine_version),
             "work folders: %s; native runs write to %s" % (
                 "tmpfs" if all(w.on_tmpfs for w in widths) else "the disk (no tmpfs could be mounted)", native), ""]
    for w in widths:
        lines.append("- %s: launcher %s (%s), payload %d bytes of cabinet" % (
            w.name, os.path.relpath(w.launcher), WIDTHS[w.name]["launcher"], os.path.getsize(w.cabinet)))
    lines += ["", "| width | run | min (s) | median (s) |", "|---|---|---|---|"]
    card = {"launcher": "launcher, end to end", "floor": "floor harness",
            "floor+launch": "floor harness + the installer's start and wait (context)",
            "trivial": "trivial Windows program", "second copy": "second copy while the first waits"}
    for w in widths:
        for k in ("launcher", "floor", "floor+launch", "trivial", "second copy"):
            lines.append("| %s | %s | %.3f | %.3f |" % (w.name, card[k], min(runs[(w.name, k)]), med[(w.name, k)]))
    for tool in ("cabextract", "cp"):
        lines.append("| native | %s (context) | %.3f | %.3f |" % (tool, min(runs[("native", tool)]), med[("native", tool)]))
    lines += ["", "| width | target | measured | limit | met |", "|---|---|---|---|---|"]
    for w in widths:
        ratio = med[(w.name, "launcher")] / med[(w.name, "floor")]
        second = med[(w.name, "second copy")] / med[(w.name, "trivial")]
        cab_size = os.path.getsize(w.cabinet)
        target_rss = cab_size + 32 * 1024 * 1024
        lines += [
            "| %s | median(launcher) / median(floor) | %.3f | 1.05 | %s |" % (w.name, ratio, "yes" if ratio <= 1.05 else "no"),
            "| %s | median(launcher) / median(floor + launch), context | %.3f | | |" % (
                w.name, med[(w.name, "launcher")] / med[(w.name, "floor+launch")]),
            "| %s | median(second copy) / median(trivial) | %.2f | 2 | %s |" % (w.name, second, "yes" if second <= 2 else "no"),
            "| %s | launcher's peak resident memory | %.1f MiB | %.1f MiB (cabinet + 32 MiB) | %s |" % (
                w.name, peak[w.name] / 2**20, target_rss / 2**20, "yes" if peak[w.name] <= target_rss else "no"),
            "| %s | payload writes larger than 1 MiB (traced) | %s | one of %d bytes | %s |" % (
                w.name, ", ".join(str(s) for s in big[w.name]) or "none", cab_size,
                "yes" if big[w.name] == [cab_size] else "no"),
        ]
    release = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "release")
    product, release_payload = os.path.join(release, "Web_Installer.exe"), os.path.join(release, "payload", "small.cab")
    if os.path.exists(product) and os.path.exists(release_payload):
        stub = os.path.getsize(product) - os.path.getsize(release_payload)
        lines.append("| i686 | release stub (the product less its payload) | %d bytes (%.1f KiB) | 128 KiB | %s |" % (
            stub, stub / 1024, "yes" if stub <= 128 * 1024 else "no"))
    lines += ["", "exit codes seen: %s" % ", ".join("%s %s" % (w.name, sorted(codes[w.name])) for w in widths)]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(text)
    print("written to %s" % os.path.join(out, "results.md"))


if __name__ == "__main__":
    main()

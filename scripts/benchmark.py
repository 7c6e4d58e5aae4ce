#!/usr/bin/env python3
"""The launcher against the platform floor, with the full sample payload, in one session.

Runs, interleaved, ROUNDS times each in a fresh work folder: the twin end to end (the sample
installer ends at once), the floor harness, a trivial Windows program (what starting any
program costs under Wine), and as context cabextract and cp of the same cabinet natively.
Then times a second copy of the twin started while a first one waits for its installer,
reads the twin's peak resident memory, counts the payload's writes from a trace, and prints
and stores the table.

usage: benchmark.py WINE64_TREE RELEASE_TREE OUT_DIR [ROUNDS]
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
GUID = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}"


def main():
    tree, release, out = (os.path.abspath(p) for p in sys.argv[1:4])
    rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 7
    twin = os.path.join(tree, "Web_Installer_full.exe")
    floor = os.path.join(tree, "bench", "floor_harness.exe")
    trivial = os.path.join(tree, "bench", "trivial.exe")
    cabinet = os.path.join(tree, "payload", "full.cab")
    prefix = os.path.join(out, "prefix")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if os.path.isdir(prefix):  # end an earlier run's wineserver before its prefix goes
        subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run(["umount", os.path.join(prefix, "drive_c", "bench-temp")], stderr=subprocess.DEVNULL)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for name in ("WI_SAMPLE_HOLD_EVENT", "WI_SAMPLE_HOLD_MS", "WI_SAMPLE_RECORD"):
        env.pop(name, None)
    subprocess.run([WINE, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run([WINESERVER, "-w"], env=env, check=True)
    # The temp directory of every Windows program here, and a wineserver kept alive between
    # runs, so that no run pays for starting it.
    temp_unix = os.path.join(prefix, "drive_c", "bench-temp")
    os.makedirs(temp_unix)
    # Work folders in memory when the machine allows it: the disk's write-back otherwise
    # lands on whichever run happens to be going, and buries the differences measured here.
    on_tmpfs = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2g", "tmpfs", temp_unix],
                              stderr=subprocess.DEVNULL).returncode == 0
    for var in ("TEMP", "TMP"):
        subprocess.run([WINE, "reg", "add", "HKCU\\Environment", "/v", var, "/t", "REG_SZ", "/d", "C:\\bench-temp", "/f"],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run([WINESERVER, "-w"], env=env, check=True)
    server = subprocess.Popen([WINESERVER, "-f", "-p"], env=env)
    native = os.path.join(out, "native")

    def timed(argv, extra_env=None):
        # Every run starts with no dirty pages of an earlier one to write back: the runs
        # write 136 to 143 MB each, and whichever run follows would otherwise pay for them.
        os.sync()
        start = time.perf_counter()
        p = subprocess.Popen(argv, env=dict(env, **(extra_env or {})), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(p.pid, 0)
        return time.perf_counter() - start, os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024

    def fresh(path):
        shutil.rmtree(path, ignore_errors=True)

    runs = {k: [] for k in ("twin", "floor", "floor+launch", "trivial", "cabextract", "cp")}
    peak = 0
    codes = set()
    try:
        timed([WINE, trivial])  # warm the prefix once
        for _ in range(rounds):
            fresh(os.path.join(temp_unix, GUID))
            t, code, rss = timed([WINE, twin])
            runs["twin"].append(t)
            codes.add(code)
            peak = max(peak, rss)
            fresh(os.path.join(temp_unix, "floor"))
            runs["floor"].append(timed([WINE, floor])[0])
            fresh(os.path.join(temp_unix, "floor"))
            runs["floor+launch"].append(timed([WINE, floor, "launch"])[0])
            runs["trivial"].append(timed([WINE, trivial])[0])
            fresh(native)
            os.makedirs(native)
            runs["cabextract"].append(timed(["cabextract", "-q", "-d", native, cabinet])[0])
            fresh(native)
            os.makedirs(native)
            runs["cp"].append(timed(["cp", cabinet, native])[0])

        # A second copy while the first waits for its installer (held for a while).
        fresh(os.path.join(temp_unix, GUID))
        record = os.path.join(temp_unix, "record.txt")
        held = dict(WI_SAMPLE_HOLD_EVENT="benchmark_never_set", WI_SAMPLE_HOLD_MS="60000",
                    WI_SAMPLE_RECORD="C:\\bench-temp\\record.txt")
        first = subprocess.Popen([WINE, twin], env=dict(env, **held), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 120
        while not os.path.exists(record) and time.time() < deadline:
            time.sleep(0.05)
        seconds = []
        for _ in range(rounds):
            t, code, _ = timed([WINE, twin])
            seconds.append(t)
            codes.add(code)
        runs["second copy"] = seconds
        # End the held installer and the first copy.
        subprocess.run([WINE, "taskkill", "/F", "/IM", "RUZE_Derurerovo_Vozi.exe"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        first.wait(timeout=120)

        # How the payload reaches the disk: the WriteFile calls of one traced run.
        fresh(os.path.join(temp_unix, GUID))
        subprocess.run([WINE, "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ", "/d",
                        "kernel32.WriteFile", "/f"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        trace = subprocess.run([WINE, twin], env=dict(env, WINEDEBUG="+pid,+relay"), capture_output=True, text=True,
                               errors="replace").stderr
        writes = [line for line in trace.splitlines() if "Call KERNEL32.WriteFile(" in line]
        sizes = [int(line.split("(")[1].split(",")[2], 16) for line in writes]
        big = [s for s in sizes if s > 1 << 20]
    finally:
        subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
        server.wait(timeout=30)
        if on_tmpfs:
            subprocess.run(["umount", temp_unix], stderr=subprocess.DEVNULL)

    cab_size = os.path.getsize(cabinet)
    product = os.path.join(release, "Web_Installer.exe")
    release_payload = os.path.join(release, "payload", "small.cab")
    stub = os.path.getsize(product) - os.path.getsize(release_payload)
    med = {k: statistics.median(v) for k, v in runs.items()}
    lines = ["# Benchmark: the launcher against the platform floor", "",
             "full sample payload: %d bytes of cabinet; %d rounds each, interleaved; Wine %s" % (
                 cab_size, rounds, subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()),
             "work folders: %s; native runs write to %s" % ("a tmpfs" if on_tmpfs else "the disk (no tmpfs could be mounted)", native), "",
             "| run | min (s) | median (s) |", "|---|---|---|"]
    names = {"twin": "twin, end to end", "floor": "floor harness", "floor+launch": "floor harness + the installer's start and wait (context)", "trivial": "trivial Windows program",
             "cabextract": "cabextract (native, context)", "cp": "cp (native, context)",
             "second copy": "second copy while the first waits"}
    for k in ("twin", "floor", "floor+launch", "trivial", "cabextract", "cp", "second copy"):
        lines.append("| %s | %.3f | %.3f |" % (names[k], min(runs[k]), med[k]))
    ratio = med["twin"] / med["floor"]
    second = med["second copy"] / med["trivial"]
    target_rss = cab_size + 32 * 1024 * 1024
    lines += ["",
              "| target | measured | limit | met |", "|---|---|---|---|",
              "| median(twin) / median(floor) | %.3f | 1.05 | %s |" % (ratio, "yes" if ratio <= 1.05 else "no"),
              "| median(twin) / median(floor + launch), context | %.3f | | |" % (med["twin"] / med["floor+launch"]),
              "| median(second copy) / median(trivial) | %.2f | 2 | %s |" % (second, "yes" if second <= 2 else "no"),
              "| twin's peak resident memory | %.1f MiB | %.1f MiB (cabinet + 32 MiB) | %s |" % (
                  peak / 2**20, target_rss / 2**20, "yes" if peak <= target_rss else "no"),
              "| payload writes larger than 1 MiB (traced) | %s | one of %d bytes | %s |" % (
                  ", ".join(str(s) for s in big) or "none", cab_size, "yes" if big == [cab_size] else "no"),
              "| release stub (image less payload) | %d bytes (%.1f KiB) | 128 KiB | %s |" % (
                  stub, stub / 1024, "yes" if stub <= 128 * 1024 else "no"),
              "", "exit codes seen from the twin: %s" % sorted(codes)]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(text)
    print("written to %s" % os.path.join(out, "results.md"))


if __name__ == "__main__":
    main()

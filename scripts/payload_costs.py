#!/usr/bin/python3
"""What a payload costs as the installation set grows, and where the image stops loading.

usage: payload_costs.py OUT_DIR SOURCE_DIR [ROUNDS]

1. The image limit under 32-bit Wine: the release tree's launcher (around the small sample
   payload) is given one more, uninitialised section, which makes its image as large as a
   payload of that size would, without gigabytes of file; the largest image that still loads
   and runs the launcher to its installer is found by bisection.
2. For each set (random, incompressible files beside the sample installer, and the full
   sample's tree): a scratch release tree around the folder, in which the build of what
   depends on the payload is timed (the folder's cabinet, its check, the resources, the
   link), with its peak resident memory (the largest process), then a build with nothing
   changed; the image's size; then, under 32-bit Wine, after one run each that is not
   counted, ROUNDS runs each (default 5), interleaved, of the launcher and of the floor
   harness around the same cabinet (bare, and with the installer's start and wait, as the
   launcher does), each in a fresh work folder on the disk, with their peak resident memory.
   Each launcher run must start the installer, and after the last one every unpacked file is
   compared with the folder.
3. Two sets past the limits, to show their refusals: one past one cabinet folder (a sparse
   file stands for its data) and one past what the image carries.

Writes OUT_DIR/results.md. Needs the release tree built (scripts/payload_costs.sh does it)
and about 16 GB of free disk for the largest set; each set's files go once it is measured.
"""
import hashlib
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import time

import pefile

WINE = "/usr/lib/wine/wine"
WINESERVER = "/usr/lib/wine/wineserver"
GUID = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}"
ENTRY = "RUZE_Derurerovo_Vozi.exe"
IMAGE_PAYLOAD_BYTES = 1536 << 20  # tools/payload_check/payload_rules.h
FOLDER_BYTES = 65535 * 32768
MB = 1000 * 1000
PART = 64 << 20
# A cabinet of incompressible data: 8 bytes of block header, 2 of MSZIP signature and 5 of a
# stored deflate block for each 32 KiB, and a little for the headers; the largest set is
# made so that its cabinet stays under the limit by this margin.
LARGEST = int((IMAGE_PAYLOAD_BYTES - (1 << 20)) / (1 + 16 / 32768))
SETS = [("10 MB", 10 * MB), ("full sample", None), ("600 MB", 600 * MB), ("largest accepted", LARGEST)]
BEYOND = [("past one cabinet folder", FOLDER_BYTES + 1), ("past what the image carries", 1700 * MB)]


class Prefix:
    """A throwaway 32-bit prefix whose temp directory is C:\\costs-temp, on the disk."""

    def __init__(self, path):
        self.env = dict(os.environ, WINEPREFIX=path, WINEARCH="win32", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        for var in ("WI_SAMPLE_HOLD_EVENT", "WI_SAMPLE_HOLD_MS", "WI_SAMPLE_RECORD"):
            self.env.pop(var, None)
        self.wine("wineboot", "-i")
        self.temp = os.path.join(path, "drive_c", "costs-temp")
        os.makedirs(self.temp, exist_ok=True)
        for var in ("TEMP", "TMP"):
            self.wine("reg", "add", "HKCU\\Environment", "/v", var, "/t", "REG_SZ", "/d", "C:\\costs-temp", "/f")
        subprocess.run([WINESERVER, "-w"], env=self.env, check=True)
        self.server = subprocess.Popen([WINESERVER, "-f", "-p"], env=self.env)

    def wine(self, *args):
        return subprocess.run([WINE] + list(args), env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def timed(self, program, *args, record=None):
        """Runs `program` once: (seconds, exit code, peak resident bytes of its process)."""
        os.sync()
        env = dict(self.env, WI_SAMPLE_RECORD=record) if record else self.env
        start = time.perf_counter()
        p = subprocess.Popen([WINE, program] + list(args), env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        peak = resident_peak(p, program)
        return time.perf_counter() - start, p.returncode, peak

    def end(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        self.server.wait(timeout=60)


def processes_of(root, program):
    """`root`, every process below it, and every process of `program` (Wine starts an image
    that does not fit beside its loader through a process that starts it on its own, outside
    this tree)."""
    parents, found = {}, {root}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    if program.encode() in f.read().replace(b"/", b"\\"):
                        found.add(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    frontier = list(found)
    while frontier:
        parent = frontier.pop()
        children = [pid for pid, ppid in parents.items() if ppid == parent and pid not in found]
        found.update(children)
        frontier += children
    return found


def resident_peak(p, program):
    """Waits for `p`, sampling every 10 ms the resident memory (VmHWM, whose high-water mark
    the kernel updates lazily, and VmRSS) of the processes of the run, and returns the
    largest. The resource usage of wait4 would miss a process started outside the tree, and
    would count this script's own memory, which the child shares until it starts the program."""
    name = os.path.abspath(program).replace("/", "\\")  # as Wine writes it, after the drive
    peak = 0
    while p.poll() is None:
        for pid in processes_of(p.pid, name):
            try:
                with open("/proc/%d/status" % pid) as f:
                    for line in f:
                        if line.startswith(("VmHWM:", "VmRSS:")):
                            peak = max(peak, int(line.split()[1]) * 1024)
            except (OSError, ValueError):
                pass
        time.sleep(0.01)
    return peak


def padded(image, out, extra):
    """`image` with an uninitialised section of `extra` bytes after its last one."""
    pe = pefile.PE(image)
    last = pe.sections[-1]
    align = pe.OPTIONAL_HEADER.SectionAlignment
    va = (last.VirtualAddress + last.Misc_VirtualSize + align - 1) // align * align
    at = last.get_file_offset() + 40
    data = bytearray(pe.write())
    assert data[at:at + 40] == bytes(40), "no room for one more section header"
    data[at:at + 40] = struct.pack("<8sIIIIIIHHI", b".pad", extra, va, 0, 0, 0, 0, 0, 0, 0xC0000080)
    grown = pefile.PE(data=bytes(data))
    grown.FILE_HEADER.NumberOfSections += 1
    grown.OPTIONAL_HEADER.SizeOfImage = (va + extra + align - 1) // align * align
    grown.write(out)
    return grown.OPTIONAL_HEADER.SizeOfImage, grown.OPTIONAL_HEADER.ImageBase


def image_limit(prefix, launcher, out):
    """The largest image (SizeOfImage) with which the launcher loads and starts its installer."""
    probe = os.path.join(out, "padded.exe")
    record = os.path.join(prefix.temp, "record.txt")

    def runs(extra):
        padded(launcher, probe, extra)
        shutil.rmtree(os.path.join(prefix.temp, GUID), ignore_errors=True)
        if os.path.exists(record):
            os.remove(record)
        _, code, _ = prefix.timed(probe, record="C:\\costs-temp\\record.txt")
        return code == 0 and os.path.exists(record)

    step = 64 << 20
    low, high = 0, step
    while runs(high):
        low, high = high, high + step
    while high - low > 1 << 16:
        middle = (low + high) // 2 // (1 << 16) * (1 << 16)
        low, high = (middle, high) if runs(middle) else (low, middle)
    size, base = padded(launcher, probe, low)
    largest = size
    size_failed, _ = padded(launcher, probe, high)
    os.remove(probe)
    own = pefile.PE(launcher, fast_load=True).OPTIONAL_HEADER.SizeOfImage
    return largest, size_failed, base, own


def random_file(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        while size > 0:
            n = min(size, 1 << 20)
            f.write(os.urandom(n))
            size -= n


def make_set(name, folder, unpacked, installer, source):
    """A folder shaped like the product's set: the entry program, small settings files, and
    random files that make up `unpacked` bytes; "full" is the full sample's own tree."""
    shutil.rmtree(folder, ignore_errors=True)
    if name == "full sample":
        cab = folder + ".cab"
        subprocess.run([sys.executable, os.path.join(source, "tools", "make_sample_payload.py"), "--size", "full",
                        "--cab", cab, "--tree", folder, "--installer", installer], check=True, stdout=subprocess.DEVNULL)
        os.remove(cab)
        return
    os.makedirs(os.path.join(folder, "InstData"))
    shutil.copyfile(installer, os.path.join(folder, ENTRY))
    for i in range(8):
        with open(os.path.join(folder, "InstData", "%04X.ini" % (0x0401 + i)), "w") as f:
            f.write("[setup]\r\nlanguage=%d\r\n" % i * 40)
    left = unpacked - sum(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(folder) for n in ns)
    part = 0
    while left > 0:
        n = min(left, PART)
        random_file(os.path.join(folder, "InstData", "Data", "part%03d.bin" % part), n)
        left -= n
        part += 1


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(folder) for n in ns)


def run(command, **kw):
    return subprocess.run(command, capture_output=True, text=True, **kw)


def timed_build(tree, target=None):
    """(seconds, peak resident bytes of the largest process, exit code, output). GNU time
    reads the peak from its child, which it starts itself: this script's own memory stays out."""
    peak_file = os.path.join(tree, "build-peak.txt")
    command = ["/usr/bin/time", "-f", "%M", "-o", peak_file, "cmake", "--build", tree, "-j2"] + (
        ["--target", target] if target else [])
    start = time.perf_counter()
    r = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    seconds = time.perf_counter() - start
    with open(peak_file) as f:
        peak = int(f.read().split()[-1]) * 1024
    return seconds, peak, r.returncode, r.stdout


def configure(source, tree, folder):
    r = run(["cmake", "-S", source, "-B", tree, "-G", "Unix Makefiles", "--toolchain",
             os.path.join(source, "cmake", "mingw-i686.cmake"), "-DWEB_INSTALLER_FLAVOUR=release",
             "-DCMAKE_BUILD_TYPE=Release", "-DWEB_INSTALLER_PAYLOAD=" + folder])
    if r.returncode != 0:
        raise SystemExit("configure failed:\n" + r.stdout + r.stderr)


def unpacked_whole(work, cabinet_manifest):
    """Every file the cabinet was made from is in the work folder with the same digest."""
    with open(cabinet_manifest) as f:
        lines = f.read().splitlines()[1:]
    for line in lines:
        digest, name = line.split(" ", 1)
        path = os.path.join(work, *name.split("\\"))
        if not os.path.isfile(path):
            return False
        h = hashlib.sha256()
        with open(path, "rb") as f:
            for chunk in iter(lambda: f.read(1 << 20), b""):
                h.update(chunk)
        if h.hexdigest() != digest:
            return False
    return True


def gib(n):
    return "%.2f GiB" % (n / 2**30) if n >= 2**30 else "%.0f MiB" % (n / 2**20)


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    memory = next(int(line.split()[1]) for line in open("/proc/meminfo") if line.startswith("MemTotal")) * 1024
    fs = run(["df", "--output=fstype", os.getcwd()]).stdout.split()[-1]
    wine = run([WINE, "--version"]).stdout.strip()
    return "%s, %d cores, %s of memory, %s %s, %s file system, %s" % (
        cpu, os.cpu_count(), gib(memory), platform.system(), platform.release(), fs, wine)


def main():
    out, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    release = os.path.join(source, "build", "release")
    launcher, installer = os.path.join(release, "Web_Installer.exe"), os.path.join(release, "sample_installer.exe")
    if os.path.isdir(os.path.join(out, "prefix")):
        subprocess.run([WINESERVER, "-k"], env=dict(os.environ, WINEPREFIX=os.path.join(out, "prefix")),
                       stderr=subprocess.DEVNULL)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    lines = ["# Payload costs: the build and a run as the installation set grows", "",
             "machine: " + machine(), ""]
    rows, refusals = [], []
    prefix = Prefix(os.path.join(out, "prefix"))
    try:
        started = time.time()
        largest, failed, base, own = image_limit(prefix, launcher, out)
        lines += ["image limit under 32-bit Wine (%.0f s to find): the launcher loads and starts its installer with an "
                  "image of %d bytes (%s, at 0x%08X to 0x%08X), and not with %d bytes; the launcher's own image is %d "
                  "bytes, so a payload of about %d bytes (%s) is the most that runs here; the build accepts %d (%s)" % (
                      time.time() - started, largest, gib(largest), base, base + largest, failed, own, largest - own,
                      gib(largest - own), IMAGE_PAYLOAD_BYTES, gib(IMAGE_PAYLOAD_BYTES)), ""]
        print(lines[-2], flush=True)

        for name, unpacked in SETS:
            slug = name.split()[0].lower()
            folder, tree = os.path.join(out, "set-" + slug), os.path.join(out, "tree-" + slug)
            make_set(name, folder, unpacked, installer, source)
            configure(source, tree, folder)
            # What does not depend on the payload is built first and not counted.
            for target in ("web_installer_core", "host_payload_check", "web_installer_icon", "default_payload"):
                timed_build(tree, target)
            seconds, peak, code, output = timed_build(tree, "Web_Installer")
            if code != 0:
                raise SystemExit("the %s set did not build:\n%s" % (name, output[-3000:]))
            again, _, _, _ = timed_build(tree, "Web_Installer")
            timed_build(tree, "floor_harness")
            image = os.path.join(tree, "Web_Installer.exe")
            floor = os.path.join(tree, "bench", "floor_harness.exe")
            cabinet = os.path.join(tree, "payload", "folder.cab")
            runs = {"launcher": [], "floor": [], "floor+launch": []}
            peaks = {"launcher": 0, "floor": 0, "floor+launch": 0}
            codes = set()
            work = os.path.join(prefix.temp, GUID)
            record = os.path.join(prefix.temp, "sample_installer_record.txt")  # the installer's own
            started = True
            for program, folder_in_temp in ((image, GUID), (floor, "floor")):  # once each, not counted
                shutil.rmtree(os.path.join(prefix.temp, folder_in_temp), ignore_errors=True)
                prefix.timed(program)
            programs = [("launcher", [image], GUID), ("floor", [floor], "floor"),
                        ("floor+launch", [floor, "launch"], "floor")]
            for i in range(rounds):  # each round in another order, so that no program always follows another
                for kind, command, folder_in_temp in programs[i % 3:] + programs[:i % 3]:
                    shutil.rmtree(os.path.join(prefix.temp, folder_in_temp), ignore_errors=True)
                    if os.path.exists(record):
                        os.remove(record)
                    t, code, rss = prefix.timed(*command)
                    if kind == "launcher":
                        started = started and os.path.exists(record)
                    runs[kind].append(t)
                    peaks[kind] = max(peaks[kind], rss)
                    codes.add((kind, code))
            whole = started and unpacked_whole(work, cabinet + ".manifest")
            row = {"set": name, "files": sum(len(ns) for _, _, ns in os.walk(folder)), "unpacked": folder_bytes(folder),
                   "cabinet": os.path.getsize(cabinet), "build": seconds, "again": again, "peak": peak,
                   "image": os.path.getsize(image), "launcher": statistics.median(runs["launcher"]),
                   "floor": statistics.median(runs["floor"]),
                   "floor+launch": statistics.median(runs["floor+launch"]), "launcher_peak": peaks["launcher"],
                   "floor_peak": peaks["floor"], "whole": whole and codes == {("launcher", 0), ("floor", 0), ("floor+launch", 0)}}
            rows.append(row)
            print(row, flush=True)
            for path in (folder, tree, os.path.join(prefix.temp, GUID), os.path.join(prefix.temp, "floor")):
                shutil.rmtree(path, ignore_errors=True)

        # Past the limits: refused by name, and how soon.
        for name, unpacked in BEYOND:
            folder, tree = os.path.join(out, "set-beyond"), os.path.join(out, "tree-beyond")
            if unpacked > FOLDER_BYTES:
                make_set(name, folder, 10 * MB, installer, source)
                with open(os.path.join(folder, "InstData", "sparse.bin"), "wb") as f:
                    f.truncate(unpacked - folder_bytes(folder))
            else:
                make_set(name, folder, unpacked, installer, source)
            configure(source, tree, folder)
            for target in ("web_installer_core", "host_payload_check", "web_installer_icon", "default_payload"):
                timed_build(tree, target)
            seconds, peak, code, output = timed_build(tree, "Web_Installer")
            message = next((line.strip() for line in output.splitlines() if "REFUSED" in line), "(none)")
            refusals.append((name, folder_bytes(folder), seconds, peak, code, message))
            print(refusals[-1], flush=True)
            for path in (folder, tree):
                shutil.rmtree(path, ignore_errors=True)
    finally:
        prefix.end()

    lines += ["| set | files | unpacked | cabinet | build | build, nothing changed | build's peak memory | image | "
              "launcher run | floor harness run | floor harness + installer | launcher / floor + installer | "
              "launcher's peak memory | floor's peak memory | set whole |", "|" + "---|" * 15]
    for r in rows:
        lines.append("| %s | %d | %s | %s | %.1f s | %.1f s | %s | %s | %.2f s | %.2f s | %.2f s | %.2f | %s | %s | %s |" % (
            r["set"], r["files"], "{:,}".format(r["unpacked"]), "{:,}".format(r["cabinet"]), r["build"], r["again"],
            gib(r["peak"]), "{:,}".format(r["image"]), r["launcher"], r["floor"], r["floor+launch"],
            r["launcher"] / r["floor+launch"], gib(r["launcher_peak"]), gib(r["floor_peak"]),
            "yes" if r["whole"] else "NO"))
    lines += ["", "Runs: the median of %d, interleaved, each round in another order; work folders on the disk; peak "
              "memory of a run: the resident memory of its largest process, sampled every 10 ms. Build: what depends on the payload "
              "(the folder's cabinet, its check, the resources, the link); its peak memory: the largest process "
              "(GNU time)." % rounds,
              "", "| set past a limit | unpacked | stopped after | peak memory | exit code | message |",
              "|---|---|---|---|---|---|"]
    for name, unpacked, seconds, peak, code, message in refusals:
        lines.append("| %s | %s | %.1f s | %s | %d | `%s` |" % (name, "{:,}".format(unpacked), seconds, gib(peak), code,
                                                               message))
    text = "\n".join(lines) + "\n"
    print(text)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(text)
    print("written to %s" % os.path.join(out, "results.md"))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The fault matrix: the launcher under test (the product under 32-bit Wine, the twin under
wine64) in the real platform, one row per situation a user's machine can put it in. Every
row expects exit code 0; each says whether the installer must start and what must be on disk
afterwards. The launcher is started from the Unix side, as the prefix starts any program,
with its temp directory set where users set it (HKCU\\Environment). The test-only twins
around refused payloads come from BUILD_DIR.

usage: fault_matrix.py BUILD_DIR SCRATCH_DIR LAUNCHER PAYLOAD
       (WINEPREFIX and WI_WINE, the tree's Wine, set by the test runner)
"""
import filecmp
import os
import shutil
import stat
import subprocess
import sys
import time

WINE = os.environ["WI_WINE"]
GUID = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}"
ENTRY = "RUZE_Derurerovo_Vozi.exe"
RUNONCE = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
build, scratch, launcher, payload = (os.path.abspath(p) for p in sys.argv[1:5])
tree = payload + ".tree"
env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
for name in ("WI_SAMPLE_HOLD_EVENT", "WI_SAMPLE_HOLD_MS", "WI_SAMPLE_CRASH"):
    env.pop(name, None)


def win(path):
    return "Z:" + path.replace("/", "\\")


def wine(*args, **kw):
    return subprocess.run([WINE] + list(args), env=kw.pop("env", env), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, **kw)


def set_temp(path):
    for var in ("TEMP", "TMP"):
        wine("reg", "add", "HKCU\\Environment", "/v", var, "/t", "REG_SZ", "/d", win(path), "/f")


def restore_temp():
    for var in ("TEMP", "TMP"):
        wine("reg", "add", "HKCU\\Environment", "/v", var, "/t", "REG_EXPAND_SZ", "/d", "%USERPROFILE%\\Temp", "/f")


def runonce():
    out = subprocess.run([WINE, "reg", "query", RUNONCE, "/v", "ZORIZavezUvoDuvare"], env=env,
                         capture_output=True, text=True, errors="replace").stdout
    return out.replace("\r", "").split("REG_SZ")[-1].strip() if "REG_SZ" in out else None


def mount_tmpfs(path, kib):
    os.makedirs(path, exist_ok=True)
    return subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % kib, "tmpfs", path],
                          stderr=subprocess.DEVNULL).returncode == 0


def listing(folder):
    out = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        out += sorted(os.path.relpath(os.path.join(root, f), folder) for f in files)
    return out


def whole_set(folder):
    """True when every entry of the sample lies in `folder`, byte for byte."""
    entries = listing(tree)
    return all(os.path.isfile(os.path.join(folder, e)) and filecmp.cmp(os.path.join(tree, e), os.path.join(folder, e),
                                                                          shallow=False) for e in entries)


class Row:
    def __init__(self, name, temp):
        self.name = name
        self.temp = temp
        self.folder = os.path.join(temp, GUID)
        self.record = os.path.join(temp, "..", "record.txt")
        self.notes = []

    def starts(self):
        if not os.path.exists(self.record):
            return 0
        with open(self.record, errors="replace") as f:
            return sum(1 for line in f if line.startswith("command_line="))

    def run(self, twin=None, extra=None, timeout=120):
        """Runs the launcher under test, or the test-only twin of that name."""
        e = dict(env, WI_SAMPLE_RECORD=win(os.path.normpath(self.record)), **(extra or {}))
        start = time.time()
        try:
            code = subprocess.run([WINE, os.path.join(build, twin) if twin else launcher], env=e, timeout=timeout,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        except subprocess.TimeoutExpired:
            code = "hang"
        return code, time.time() - start


results = []

# One wineserver for the whole matrix, kept alive between rows: a server that is shutting
# down after one row while the next row's programs start would slow some of them by seconds.
subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=env, stderr=subprocess.DEVNULL)
server = subprocess.Popen(["/usr/lib/wine/wineserver", "-f", "-p"], env=env)


def row(name):
    def wrap(fn):
        base = os.path.join(scratch, "fm-%02d" % (len(results) + 1))
        shutil.rmtree(base, ignore_errors=True)
        temp = os.path.join(base, "temp")
        os.makedirs(temp)
        r = Row(name, temp)
        subprocess.run([WINE, "reg", "delete", RUNONCE, "/v", "ZORIZavezUvoDuvare", "/f"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        set_temp(temp)
        try:
            ok, code, started, disk = fn(r)
        except Exception as ex:  # a broken row is a failed row, and the matrix goes on
            ok, code, started, disk = False, "error", "?", "%s: %s" % (type(ex).__name__, ex)
        finally:
            restore_temp()
        results.append((name, code, started, disk, ok, "; ".join(r.notes)))
        return fn
    return wrap


def expect(r, code, launched, disk_ok, disk):
    started = r.starts()
    ok = code == 0 and (started == 1 if launched else started == 0) and disk_ok
    return ok, code, "yes" if started else "no", disk


def partial_cab(r):
    cab = os.path.join(r.folder, "VOVore.cab")
    size = os.path.getsize(cab) if os.path.exists(cab) else 0
    return size, os.path.getsize(payload)


def on_small_disk(r, kib, check):
    """Runs `check` with the row's temp directory on a tmpfs of `kib` KiB, unmounted after."""
    if not mount_tmpfs(r.temp, kib):
        r.notes.append("no tmpfs could be mounted: skipped")
        return True, 0, "-", "skipped"
    try:
        return check()
    finally:
        subprocess.run(["umount", r.temp])


@row("the disk fills while VOVore.cab is written")
def _(r):
    def check():
        code, _ = r.run()
        size, full = partial_cab(r)
        others = [e for e in listing(r.folder) if e != "VOVore.cab"]
        return expect(r, code, False, 0 < size < full and not others,
                      "partial VOVore.cab (%d of %d bytes), %d entries extracted" % (size, full, len(others)))
    return on_small_disk(r, os.path.getsize(payload) // 1024 // 2, check)


@row("the disk fills during extraction (room for the cabinet, not the set)")
def _(r):
    def check():
        code, _ = r.run()
        size, full = partial_cab(r)
        entries = [e for e in listing(r.folder) if e != "VOVore.cab"]
        short = sum(1 for e in entries if os.path.getsize(os.path.join(r.folder, e)) != os.path.getsize(os.path.join(tree, e)))
        # Recorded, not judged: what happens here is the cabinet service's to decide.
        launched = r.starts()
        r.notes.append("recorded: Wine's cabinet service %s although %d entries were cut short; the launcher %s" % (
            "reported success" if launched else "reported failure", short,
            "then started the installer" if launched else "ended without starting the installer"))
        return code == 0, code, "yes" if launched else "no", "%s VOVore.cab, %d entries, %d cut short" % (
            "whole" if size == full else "partial", len(entries), short)
    return on_small_disk(r, (os.path.getsize(payload) + 96 * 1024) // 1024, check)


for kind, what in (("corrupt", "a flipped byte in compressed data"), ("truncated", "a truncated cabinet")):
    @row("corrupt payload: " + what)
    def _(r, kind=kind):
        code, _ = r.run("twin_%s.exe" % kind)
        entries = [e for e in listing(r.folder) if e != "VOVore.cab"]
        return expect(r, code, False, os.path.exists(os.path.join(r.folder, "VOVore.cab")),
                      "%d entries extracted before the failure" % len(entries))


@row("corrupt payload: a zeroed block checksum with a flipped byte")
def _(r):
    code, _ = r.run("twin_zerosum.exe")
    entries = [e for e in listing(r.folder) if e != "VOVore.cab"]
    differ = sum(1 for e in entries if not filecmp.cmp(os.path.join(r.folder, e), os.path.join(tree, e), shallow=False))
    launched = r.starts()
    # A block without a checksum cannot be verified by any cabinet service: recorded here;
    # the build's payload check refuses such a payload before it is ever embedded.
    r.notes.append("recorded: the cabinet service %s; %d entries differ from their source; the build check refuses "
                   "this payload" % ("reported success, so the launcher started the installer" if launched else
                                     "reported failure", differ))
    return code == 0, code, "yes" if launched else "no", "%d entries extracted" % len(entries)


@row("a target file left read-only by an earlier run")
def _(r):
    target = os.path.join(r.folder, "InstData", "engine.ini")
    os.makedirs(os.path.dirname(target))
    with open(target, "w") as f:
        f.write("left by an earlier run")
    wine("attrib", "+R", win(target))
    os.chmod(target, stat.S_IREAD)
    code, _ = r.run()
    with open(target) as f:
        kept = f.read() == "left by an earlier run"
    launched = r.starts()
    # Either the cabinet service refuses to replace it (the run ends, nothing started), or
    # it replaces it (as it does for a root user here) and the set must then be whole.
    r.notes.append("the cabinet service %s" % ("kept the read-only file and failed the iteration" if kept else
                                               "replaced the read-only file"))
    ok = code == 0 and ((kept and not launched) or (not kept and launched == 1 and whole_set(r.folder)))
    return ok, code, "yes" if launched else "no", ("the read-only file unchanged" if kept else
                                                   "the read-only file replaced, the set whole")


@row("the work folder's name already taken by a plain file")
def _(r):
    with open(r.folder, "w") as f:
        f.write("not a folder")
    code, _ = r.run()
    value = runonce()
    return expect(r, code, False, os.path.isfile(r.folder) and value is not None,
                  "the file is left as it was; the RunOnce value is registered")


@row("a folder named like the entry program")
def _(r):
    os.makedirs(os.path.join(r.folder, ENTRY))
    code, _ = r.run()
    return expect(r, code, False, os.path.isdir(os.path.join(r.folder, ENTRY)), "the folder is left as it was")


def root_of(length, r):
    """A temp directory whose ExtractionRoot (temp + GUID + backslash) has `length` characters."""
    base = win(r.temp) + "\\"
    need = length - len(GUID) - 1 - len(base)
    parts = []
    while need > 0:
        n = min(need - 1, 60) if need > 1 else 0
        if n <= 0:
            break
        parts.append("d" * n)
        need -= n + 1
    deep = os.path.join(r.temp, *parts)
    if need == 1:  # one character short: lengthen the last part
        deep += "d"
    os.makedirs(deep, exist_ok=True)
    assert len(win(deep) + "\\" + GUID + "\\") == length, len(win(deep) + "\\" + GUID + "\\")
    return deep


@row("an ExtractionRoot of exactly 170 characters")
def _(r):
    deep = root_of(170, r)
    set_temp(deep)
    code, _ = r.run()
    folder = os.path.join(deep, GUID)
    return expect(r, code, True, whole_set(folder), "every entry extracted, byte for byte")


@row("an ExtractionRoot of 171 characters: the longest entry does not fit")
def _(r):
    deep = root_of(171, r)
    set_temp(deep)
    code, _ = r.run()
    folder = os.path.join(deep, GUID)
    entries = listing(folder)
    longest = [e for e in listing(tree) if len(e) == 89][0]
    return expect(r, code, False, longest not in entries and "language/setup.de" not in entries,
                  "extraction abandoned at the longest entry (%d entries before it)" % (len(entries) - 1))


@row("the single-instance mutex already held by an unrelated process")
def _(r):
    holder = subprocess.Popen([WINE, os.path.join(build, "tests", "wine", "hold_mutex.exe"),
                               "Global\\ZORVA_WEB_Installer" + GUID, "--for", "8000"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(3)
    code, seconds = r.run()
    holder.wait(timeout=60)
    r.notes.append("ended after %.2f s" % seconds)
    return expect(r, code, False, not os.path.exists(r.folder) and runonce() is None and seconds < 5,
                  "no folder, no RunOnce value")


@row("eight launchers started together")
def _(r):
    e = dict(env, WI_SAMPLE_RECORD=win(os.path.normpath(r.record)), WI_SAMPLE_HOLD_EVENT="fm_never_set",
             WI_SAMPLE_HOLD_MS="10000")
    procs = [subprocess.Popen([WINE, launcher], env=e, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL) for _ in range(8)]
    start = time.time()
    ended = []
    pending = list(procs)
    while pending and time.time() - start < 120:  # each one's own end, in the order they end
        for p in [p for p in pending if p.poll() is not None]:
            ended.append(time.time() - start)
            pending.remove(p)
        time.sleep(0.02)
    for p in pending:
        p.kill()
        ended.append(float("inf"))
    codes = {p.returncode for p in procs}
    # The seven that lose the mutex end while the winner still waits for its installer
    # (held 10 s): well before the last one, even on a loaded machine where eight programs
    # starting at once take seconds to get going.
    ended.sort()
    early = sum(1 for t in ended[:-1] if t <= ended[-1] - 3.0)
    r.notes.append("7 ended after %.1f s at most, the winner after %.1f s" % (ended[-2], ended[-1]))
    ok, _, started, disk = expect(r, 0 if codes == {0} else sorted(codes), True, whole_set(r.folder) and early == 7,
                                  "the set is whole and byte-identical")
    return ok, (0 if codes == {0} else sorted(codes)), "%d start(s)" % r.starts(), disk


@row("an installation program that crashes")
def _(r):
    code, seconds = r.run(extra={"WI_SAMPLE_CRASH": "1"})
    return expect(r, code, True, True, "ended after %.1f s" % seconds)


@row("an installation program that is missing")
def _(r):
    code, seconds = r.run("twin_noentry.exe")
    return expect(r, code, False, not os.path.exists(os.path.join(r.folder, ENTRY)), "ended after %.1f s" % seconds)


@row("an installation program that is not a program")
def _(r):
    code, seconds = r.run("twin_notprogram.exe")
    return expect(r, code, False, os.path.exists(os.path.join(r.folder, ENTRY)), "ended after %.1f s" % seconds)


subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
server.wait(timeout=60)

print("| situation | exit code | installer started | on disk afterwards | verdict | notes |")
print("|---|---|---|---|---|---|")
for name, code, started, disk, ok, notes in results:
    print("| %s | %s | %s | %s | %s | %s |" % (name, code, started, disk, "ok" if ok else "FAILED", notes))
failed = sum(1 for r in results if not r[4])
print()
print("%d passed, %d failed" % (len(results) - failed, failed))
sys.exit(1 if failed else 0)

"""The fault matrix: the launcher under test (the product under 32-bit Wine, the twin under
wine64) in the real platform, one row per situation a user's machine can put it in. Every
row expects exit code 0 and states the whole outcome: how often the installer started (and,
when it did, that it was the entry program of the work folder, whole, with an empty argument
string, in the launcher's current directory, shown normally), VOVore.cab's size and bytes,
which entries lie on disk and which of them are whole, the RunOnce value, the folder opened
to every user, and that nothing changed outside the work folder. What Wine's cabinet service
decides (it reports success although a full disk cut entries short, which the launcher's own
size check then catches; nobody verifies a block whose checksum is zero) is pinned as
measured and named in the row, apart from the launcher's own side.

The launcher is started from the Unix side, as the prefix starts any program, with its temp
directory set where users set it (HKCU\\Environment) and its current directory a folder of
the row's own. The test-only twins around refused payloads come from the tree's build folder.

Each row is a test of its own (`-k` selects rows by the words of their situation); the
module's last act prints the whole table.

Options: --build-dir --scratch --launcher --payload (see conftest.py)
"""
import filecmp
import glob
import os
import re
import shutil
import stat
import struct
import subprocess
import time
from types import SimpleNamespace

import pytest

import wine_runs
from wine_runs import ENTRY, GUID, win

# What the rows share: the tree, its Wine and the carried cabinet, set by the module's fixture
# (nothing runs at import).
ctx = SimpleNamespace()


def set_temp(path):
    ctx.wine.set_temp(win(path))


def runonce():
    """The RunOnce value's text as the prefix's reg tool shows it, or None."""
    out = ctx.wine.query_runonce(os.path.join(ctx.scratch, "runonce-query.txt"))
    return out.replace("\r", "").split("REG_SZ")[-1].strip() if "REG_SZ" in out else None


def mount_tmpfs(path, kib):
    os.makedirs(path, exist_ok=True)
    return subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % kib, "tmpfs", path],
                          stderr=subprocess.DEVNULL).returncode == 0


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Cabinet:
    """A single-folder cabinet as the launcher carries it: its bytes, its entries in stored
    order (name with '/' separators, size, offset in the folder's data) and its data blocks
    (offset in the file, block size with header, offset and size in the folder's data)."""

    def __init__(self, path):
        self.path = path
        self.data = read(path)
        files_at, = struct.unpack_from("<I", self.data, 16)
        count, = struct.unpack_from("<H", self.data, 28)
        self.entries = []
        at = files_at
        for _ in range(count):
            size, offset = struct.unpack_from("<II", self.data, at)
            end = self.data.index(b"\0", at + 16)
            self.entries.append((self.data[at + 16:end].decode("ascii").replace("\\", "/"), size, offset))
            at = end + 1
        self.names = [e[0] for e in self.entries]
        first_block, = struct.unpack_from("<I", self.data, 36)
        blocks, = struct.unpack_from("<H", self.data, 40)
        self.blocks = []
        at, unpacked = first_block, 0
        for _ in range(blocks):
            if at + 8 > len(self.data):
                break  # a truncated cabinet: the blocks from here on are cut off
            packed, size = struct.unpack_from("<HH", self.data, at + 4)
            self.blocks.append((at, 8 + packed, unpacked, size))
            at, unpacked = at + 8 + packed, unpacked + size

    def first_broken_data(self, good):
        """Where in the folder's data the first block that differs from `good`'s (or is cut
        off) begins: no cabinet service can hand out whole what lies from there on."""
        for (at, length, unpacked, _) in good.blocks:
            if self.data[at:at + length] != good.data[at:at + length]:
                return unpacked
        return None


def fixture(name):
    return os.path.join(ctx.build, "tests", "wine", name)


def twin_payload(kind):
    return os.path.join(ctx.build, "payload", "bad-%s.cab" % kind)


def snapshot(roots, skip):
    """Every file and folder under `roots` but those in `skip` (and below them): a folder by
    its mode, a file by its mode, size and write time."""
    out = {}
    for root in roots:
        for at, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if os.path.join(at, d) not in skip]
            for name in dirs + files:
                path = os.path.join(at, name)
                if path in skip:
                    continue
                st = os.lstat(path)
                out[path] = (st.st_mode,) if stat.S_ISDIR(st.st_mode) else (st.st_mode, st.st_size, st.st_mtime_ns)
    return out


def prefix_temp_dirs():
    return glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*", "Temp"))


class Row:
    def __init__(self, name, base):
        self.name = name
        self.base = base
        self.temp = os.path.join(base, "temp")
        self.cwd = os.path.join(base, "cwd")
        self.record = os.path.join(base, "record.txt")
        self.folder = os.path.join(self.temp, GUID)
        os.makedirs(self.temp)
        os.makedirs(self.cwd)
        self.notes = []
        self.failures = []
        self.before = None

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
        return ok

    def use_temp(self, path):
        set_temp(path)
        self.temp = path
        self.folder = os.path.join(path, GUID)

    def starts(self):
        """The sample installer's record: one dict of fields per start."""
        return wine_runs.installer_starts(self.record)

    def outside(self):
        return snapshot([self.base] + prefix_temp_dirs(), {self.folder, self.record})

    def start(self, twin=None, extra=None, program=None, stderr=subprocess.DEVNULL):
        """Starts the launcher under test, the test-only twin of that name, or `program` (a
        path); Wine's own output goes to `stderr`. The state of everything outside the work
        folder is taken before the first start."""
        if self.before is None:
            self.before = self.outside()
        e = dict(ctx.env, WI_SAMPLE_RECORD=win(self.record), **(extra or {}))
        program = program or (os.path.join(ctx.build, twin) if twin else ctx.launcher)
        return ctx.wine.start(program, env=e, cwd=self.cwd, stderr=stderr)

    def run(self, twin=None, extra=None, timeout=120, **how):
        begin = time.time()
        process = self.start(twin, extra, **how)
        try:
            code = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            code = "hang"
        return code, time.time() - begin

    def inventory(self, source_tree=None, renamed=None):
        """Each file under the work folder but VOVore.cab, by its name: 'whole' (byte-identical
        with its source), 'short' (smaller), 'larger', 'differs' (same size, other bytes) or
        'foreign' (no entry of the payload)."""
        source_tree = source_tree or ctx.tree
        found = {}
        if not os.path.isdir(self.folder):
            return found
        for at, _, files in os.walk(self.folder):
            for name in files:
                path = os.path.join(at, name)
                rel = os.path.relpath(path, self.folder)
                if rel == "VOVore.cab":
                    continue
                source = os.path.join(source_tree, (renamed or {}).get(rel, rel))
                if not os.path.isfile(source):
                    found[rel] = "foreign"
                elif os.path.getsize(path) < os.path.getsize(source):
                    found[rel] = "short"
                elif os.path.getsize(path) > os.path.getsize(source):
                    found[rel] = "larger"
                else:
                    found[rel] = "whole" if filecmp.cmp(path, source, shallow=False) else "differs"
        return found


def judge(r, code, starts, cabinet=None, cab="whole", registered=True, granted=True, source_tree=None):
    """What every row asks of the launcher. `starts`: how often the installer must have started
    (0 or 1). `cab`: 'whole' (exactly the carried cabinet), 'partial' (a proper prefix of it)
    or None (absent)."""
    cabinet, source_tree = cabinet or ctx.cabinet, source_tree or ctx.tree
    r.check(code == 0, "exit code %s, not 0" % code)

    records = r.starts()
    r.check(len(records) == starts, "the installer started %d times, not %d" % (len(records), starts))
    for record in records[:1] if starts else []:
        r.check(record.get("program") == win(os.path.join(r.folder, ENTRY)),
                "the installer started was %s" % record.get("program"))
        r.check(record.get("arguments") == "", "the installer got the arguments [%s]" % record.get("arguments"))
        r.check(record.get("current_directory") == win(r.cwd),
                "the installer started in %s, not the launcher's current directory" % record.get("current_directory"))
        r.check(record.get("show") == "1", "the installer was started with show state %s, not 1" % record.get("show"))
        entry = os.path.join(r.folder, ENTRY)
        r.check(os.path.isfile(entry) and filecmp.cmp(entry, os.path.join(source_tree, ENTRY), shallow=False),
                "the entry program that was started is not whole")

    on_disk = os.path.join(r.folder, "VOVore.cab")
    size = os.path.getsize(on_disk) if os.path.isfile(on_disk) else None
    if cab == "whole":
        r.check(size is not None and read(on_disk) == cabinet.data,
                "VOVore.cab (%s bytes) is not exactly the carried cabinet (%d bytes)" % (size, len(cabinet.data)))
    elif cab == "partial":
        r.check(size is not None and 0 < size < len(cabinet.data) and read(on_disk) == cabinet.data[:size],
                "VOVore.cab (%s bytes) is not a proper prefix of the carried cabinet" % size)
    else:
        r.check(size is None, "VOVore.cab is there")

    value = runonce()
    expected = 'cmd /Q /C rd /S /Q "%s"' % win(r.folder) if registered else None
    r.check(value == expected, "RunOnce holds %r, not %r" % (value, expected))
    if granted:
        mode = os.stat(r.folder).st_mode & 0o777 if os.path.isdir(r.folder) else None
        r.check(mode == 0o777, "the work folder is not open to every user (mode %s)" % (oct(mode) if mode else mode))

    after = r.outside()
    changed = sorted(p for p in set(r.before) | set(after) if r.before.get(p) != after.get(p))
    r.check(not changed, "changed outside the work folder: %s" % ", ".join(os.path.relpath(p, ctx.scratch) for p in changed))
    return "%d start(s)" % len(records)


def expect_entries(r, found, whole=()):
    """No file that is no entry, none larger than its source; every name in `whole` whole."""
    odd = sorted(n for n, state in found.items() if state in ("foreign", "larger"))
    r.check(not odd, "not entries, or larger than their sources: %s" % odd)
    broken = [n for n in whole if found.get(n) != "whole"]
    r.check(not broken, "not whole: %s" % broken)


def entries_stored_before(cabinet, broken_at):
    """Names of the entries whose data all lie before `broken_at` in the folder's data, of those
    that reach past it, and of those that start at or after it."""
    before = [n for n, size, offset in cabinet.entries if offset + size <= broken_at]
    across = [n for n, size, offset in cabinet.entries if offset < broken_at < offset + size]
    after = [n for n, size, offset in cabinet.entries if offset >= broken_at]
    return before, across, after


ROWS = []  # (situation, function of the Row that returns its exit code, starts and what is on disk)
RESULTS = []  # the table's lines, as the rows end


def row(name):
    def wrap(fn):
        ROWS.append((name, fn))
        return fn
    return wrap


@pytest.fixture(scope="module", autouse=True)
def matrix(tree, wine):
    """The rows' shared setting, and one wineserver for the whole matrix, kept alive between
    rows. The table of every row that ran is printed after the results."""
    ctx.build, ctx.scratch, ctx.launcher, ctx.payload, ctx.tree = (tree.build, tree.scratch, tree.launcher,
                                                                   tree.payload, tree.payload_tree)
    ctx.wine, ctx.env = wine, wine.env
    ctx.cabinet = Cabinet(tree.payload)
    ctx.wine_version = wine.version()
    # Folders that Wine makes get 0777 less this mask, and a folder opened to Everyone gets 0777:
    # the mask keeps the two apart.
    mask = os.umask(0o022)
    with wine.persistent_server():
        yield
    os.umask(mask)
    passed = sum(1 for line in RESULTS if "| ok |" in line)
    wine_runs.REPORTS.append(("the fault matrix: %s under %s (%s)" % (tree.launcher, wine.loader, ctx.wine_version), [
        "| situation | exit code | installer started | on disk afterwards | verdict | notes |",
        "|---|---|---|---|---|---|"] + RESULTS + ["", "%d rows ok, %d failed" % (passed, len(RESULTS) - passed)]))


def slug(name):
    return re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-")


def test_row(situation):
    """One row: the situation is staged and the launcher run; every check the row makes must
    hold (a row that raises fails with what it raised)."""
    name, fn = situation
    base = os.path.join(ctx.scratch, "fm-%02d" % (ROWS.index(situation) + 1))
    shutil.rmtree(base, ignore_errors=True)
    r = Row(name, base)
    ctx.wine.delete_runonce()
    set_temp(r.temp)
    try:
        code, started, disk = fn(r)
    except Exception as ex:  # reported in the table too
        code, started, disk = "error", "?", "%s: %s" % (type(ex).__name__, ex)
        r.failures.append(disk)
    finally:
        ctx.wine.restore_temp()
    notes = r.notes + ["FAILED: " + f for f in r.failures]
    RESULTS.append("| %s | %s | %s | %s | %s | %s |" % (name, code, started, disk, "FAILED" if r.failures else "ok",
                                                       "; ".join(notes)))
    assert not r.failures, "%s: %s" % (name, "; ".join(r.failures))


def test_a_program_that_crashes_in_the_prefix_ends_with_its_exception_code():
    """The rows read a launcher's exit code, so a crash must not come out as 0: under Wine's
    automatic debugger it did about every other time, and the prefix set-up turns it off. A
    program ended by an access violation (0xC0000005) ends with 5, its low byte, as Wine hands
    it to Linux; several runs, since what this guards against is a race."""
    crasher = os.path.join(ctx.tree, ENTRY)
    env = dict(ctx.env, WI_SAMPLE_CRASH="1")
    codes = [ctx.wine.run(crasher, env=env, stderr=subprocess.DEVNULL, timeout=60).returncode for _ in range(6)]
    assert codes == [0xC0000005 & 0xFF] * 6, "exit codes of a crashed program: %s" % codes


def on_small_disk(r, kib, check):
    """Runs `check` with the row's temp directory on a tmpfs of `kib` KiB, unmounted after."""
    if not mount_tmpfs(r.temp, kib):
        r.notes.append("no tmpfs could be mounted: skipped")
        return 0, "-", "skipped"
    try:
        return check()
    finally:
        subprocess.run(["umount", r.temp])


@row("the disk fills while VOVore.cab is written")
def _(r):
    def check():
        code, _ = r.run()
        started = judge(r, code, 0, cab="partial")
        found = r.inventory()
        r.check(not found, "entries were extracted: %s" % sorted(found))
        return code, started, "partial VOVore.cab (%d of %d bytes), %d entries" % (
            os.path.getsize(os.path.join(r.folder, "VOVore.cab")), len(ctx.cabinet.data), len(found))
    return on_small_disk(r, len(ctx.cabinet.data) // 1024 // 2, check)


@row("the disk fills during extraction (room for the cabinet, not the set)")
def _(r):
    def check():
        code, _ = r.run()
        # Wine's cabinet service cuts entries short on a full disk and still reports success;
        # the launcher finds the first short entry when it is reported extracted, ends the
        # iteration there, and starts nothing from the incomplete set.
        started = judge(r, code, 0)
        found = r.inventory()
        states = [found.get(n) for n in ctx.cabinet.names]
        first_short = states.index("short") if "short" in states else None
        expect_entries(r, found, whole=[ENTRY])
        r.check(first_short is not None and states[:first_short] == ["whole"] * first_short,
                "the entries before the first short one are not all whole: %s" % states[:first_short or 0])
        r.check(first_short is not None and all(s is None for s in states[first_short + 1:]),
                "entries after the first short one reached the disk: %s" % sorted(
                    n for n, s in zip(ctx.cabinet.names[(first_short or 0) + 1:], states[(first_short or 0) + 1:]) if s))
        r.check(first_short is not None and os.path.getsize(os.path.join(r.folder, ctx.cabinet.names[first_short])) <
                os.path.getsize(os.path.join(ctx.tree, ctx.cabinet.names[first_short])), "no entry was cut short")
        return code, started, "whole VOVore.cab, %d entries: %d whole, then %s cut short; the iteration ended there" % (
            len(found), first_short or 0, ctx.cabinet.names[first_short] if first_short is not None else "none")
    return on_small_disk(r, (len(ctx.cabinet.data) + 96 * 1024) // 1024, check)


for kind, what in (("corrupt", "a flipped byte in compressed data"), ("truncated", "a truncated cabinet")):
    @row("corrupt payload: " + what)
    def _(r, kind=kind):
        code, _ = r.run("twin_%s.exe" % kind)
        bad = Cabinet(twin_payload(kind))
        started = judge(r, code, 0, cabinet=bad)
        found = r.inventory()
        before, across, after = entries_stored_before(ctx.cabinet, bad.first_broken_data(ctx.cabinet))
        expect_entries(r, found, whole=before)
        r.check(all(found.get(n) in (None, "short") for n in across), "an entry across the broken block is whole")
        r.check(not any(n in found for n in after), "entries stored after the broken block are there")
        return code, started, "%d entries, all whole but %s" % (
            len(found), [n for n in found if found[n] != "whole"] or "none")


@row("corrupt payload: a zeroed block checksum with a flipped byte")
def _(r):
    code, _ = r.run("twin_zerosum.exe")
    bad = Cabinet(twin_payload("zerosum"))
    # A block without a checksum cannot be verified by any cabinet service: it reports success
    # and the launcher starts the installer. The build's payload check refuses such a payload
    # before it is ever embedded.
    started = judge(r, code, 1, cabinet=bad)
    found = r.inventory()
    before, across, after = entries_stored_before(ctx.cabinet, bad.first_broken_data(ctx.cabinet))
    expect_entries(r, found, whole=before)
    r.check(len(found) == len(ctx.cabinet.names), "%d entries on disk, not %d" % (len(found), len(ctx.cabinet.names)))
    differ = [n for n in ctx.cabinet.names if found.get(n) != "whole"]
    r.check(differ and set(differ) <= set(across + after), "the entries that differ: %s" % differ)
    r.notes.append("recorded (%s): the cabinet service reported success (installer: %s); %s differ from their "
                   "source; the build check refuses this payload" % (ctx.wine_version, started, differ))
    return code, started, "%d entries, %d whole" % (len(found), len(found) - len(differ))


@row("a target file left read-only by an earlier run")
def _(r):
    target = os.path.join(r.folder, "InstData", "engine.ini")
    os.makedirs(os.path.dirname(target))
    with open(target, "w") as f:
        f.write("left by an earlier run")
    ctx.wine.run("attrib", "+R", win(target))
    os.chmod(target, stat.S_IREAD)
    code, _ = r.run()
    with open(target) as f:
        kept = f.read() == "left by an earlier run"
    # Either the cabinet service refuses to replace it (the run ends, nothing started), or
    # it replaces it (as it does for a root user here) and the set must then be whole.
    r.notes.append("the cabinet service %s" % ("kept the read-only file and failed the iteration" if kept else
                                               "replaced the read-only file"))
    started = judge(r, code, 0 if kept else 1)
    found = r.inventory()
    if kept:
        stored = ctx.cabinet.names.index("InstData/engine.ini")
        expect_entries(r, {n: s for n, s in found.items() if n != "InstData/engine.ini"}, whole=ctx.cabinet.names[:stored])
        r.check(not any(n in found for n in ctx.cabinet.names[stored + 1:]), "entries stored after it are there")
    else:
        expect_entries(r, found, whole=ctx.cabinet.names)
    return code, started, ("the read-only file unchanged" if kept else "the read-only file replaced, the set whole")


@row("the work folder's name already taken by a plain file")
def _(r):
    with open(r.folder, "w") as f:
        f.write("not a folder")
    mode = os.stat(r.folder).st_mode & 0o777
    code, _ = r.run()
    started = judge(r, code, 0, cab=None, granted=False)
    r.check(os.path.isfile(r.folder) and read(r.folder) == b"not a folder", "the file was changed")
    r.check(os.stat(r.folder).st_mode & 0o777 == mode, "the file was opened to everyone: mode %s, was %s" % (
        oct(os.stat(r.folder).st_mode & 0o777), oct(mode)))
    return code, started, "the file is left as it was, its mode too; the RunOnce value is registered"


@row("a folder named like the entry program")
def _(r):
    os.makedirs(os.path.join(r.folder, ENTRY))
    code, _ = r.run()
    started = judge(r, code, 0)
    # Wine's cabinet service fails the iteration at the first entry, whose target is a folder.
    found = r.inventory()
    r.check(not found, "entries were extracted: %s" % sorted(found))
    r.check(os.path.isdir(os.path.join(r.folder, ENTRY)) and not os.listdir(os.path.join(r.folder, ENTRY)),
            "the folder was changed")
    return code, started, "the folder is left as it was, nothing extracted"


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
    r.use_temp(root_of(170, r))
    code, _ = r.run()
    started = judge(r, code, 1)
    found = r.inventory()
    expect_entries(r, found, whole=ctx.cabinet.names)
    return code, started, "every entry extracted, byte for byte"


@row("an ExtractionRoot of 171 characters: the longest entry does not fit")
def _(r):
    r.use_temp(root_of(171, r))
    code, _ = r.run()
    started = judge(r, code, 0)
    found = r.inventory()
    longest = max(range(len(ctx.cabinet.names)), key=lambda i: len(ctx.cabinet.names[i]))
    r.check(len(ctx.cabinet.names[longest]) == 89, "the longest stored name has not 89 characters")
    # The launcher refuses the longest entry and abandons the extraction: everything stored
    # before it is whole, nothing from it on is there.
    expect_entries(r, found, whole=ctx.cabinet.names[:longest])
    r.check(len(found) == longest, "%d entries on disk, not the %d stored before the longest" % (len(found), longest))
    return code, started, "extraction abandoned at the longest entry (%d entries before it)" % len(found)


@row("the single-instance mutex already held by an unrelated process")
def _(r):
    holder = ctx.wine.start(fixture("hold_mutex.exe"), "Global\\ZORVA_WEB_Installer" + GUID, "--for", "8000")
    time.sleep(3)
    code, seconds = r.run()
    holder.wait(timeout=60)
    r.notes.append("ended after %.2f s" % seconds)
    started = judge(r, code, 0, cab=None, registered=False, granted=False)
    r.check(not os.path.exists(r.folder), "the work folder was made")
    r.check(seconds < 5, "it took %.1f s to end" % seconds)
    return code, started, "no folder, no RunOnce value"


@row("eight launchers started together")
def _(r):
    extra = {"WI_SAMPLE_HOLD_EVENT": "fm_never_set", "WI_SAMPLE_HOLD_MS": "10000"}
    procs = [r.start(extra=extra) for _ in range(8)]
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
        p.wait()
        ended.append(float("inf"))
    codes = {p.returncode for p in procs}
    code = 0 if codes == {0} else sorted(codes, key=str)
    # The seven that lose the mutex end while the winner still waits for its installer
    # (held 10 s): well before the last one, even on a loaded machine where eight programs
    # starting at once take seconds to get going.
    ended.sort()
    early = sum(1 for t in ended[:-1] if t <= ended[-1] - 3.0)
    r.notes.append("7 ended after %.1f s at most, the winner after %.1f s" % (ended[-2], ended[-1]))
    started = judge(r, code, 1)
    r.check(early == 7, "%d of the 7 losers ended well before the winner" % early)
    expect_entries(r, r.inventory(), whole=ctx.cabinet.names)
    return code, started, "the set is whole and byte-identical"


@row("an installation program that crashes")
def _(r):
    code, seconds = r.run(extra={"WI_SAMPLE_CRASH": "1"})
    started = judge(r, code, 1)
    expect_entries(r, r.inventory(), whole=ctx.cabinet.names)
    return code, started, "the set is whole; ended after %.1f s" % seconds


@row("an installation program that is missing")
def _(r):
    code, seconds = r.run("twin_noentry.exe")
    bad = Cabinet(twin_payload("noentry"))
    started = judge(r, code, 0, cabinet=bad)
    renamed = ENTRY[:-3] + "txt"
    found = r.inventory(renamed={renamed: ENTRY})
    expect_entries(r, found, whole=bad.names)
    r.check(renamed in bad.names and ENTRY not in found, "the root holds %s" % ENTRY)
    return code, started, "the set is whole, with no entry program; ended after %.1f s" % seconds


@row("an installation program that is not a program")
def _(r):
    code, seconds = r.run("twin_notprogram.exe")
    bad = Cabinet(twin_payload("notprogram"))
    started = judge(r, code, 0, cabinet=bad, source_tree=bad.path + ".tree")
    expect_entries(r, r.inventory(source_tree=bad.path + ".tree"), whole=bad.names)
    return code, started, "the set is whole; ended after %.1f s" % seconds


# A virus scanner's real-time protection, staged by the scanner fixture: it holds each file of
# the work folder that it is told to, without sharing, as soon as the file's writer has closed
# it (or, with --existing, a file an earlier run left), for a set time or for good. Each row
# first shows that this machine enforces such a hold (a control), and says when the installer
# started: after the hold's release, from a whole set.
HELD_BOUND = 5.0  # seconds: how long the launcher waits for a file held for good (to within a poll, 0.1 s)
MARGIN = 4.0      # the rest of such a run, on a loaded machine


class Scanner:
    """The scanner fixture watching `folder`; its log and stop file lie beside `outside` (a
    row's folder stays as it was). It has started watching when the constructor returns."""

    def __init__(self, folder, outside, hold, *args):
        self.log = outside + "-scanner.log"
        self.stop = outside + "-scanner.stop"
        for path in (self.log, self.stop):
            if os.path.exists(path):
                os.remove(path)
        self.process = ctx.wine.start(fixture("scanner.exe"), win(folder), win(self.log), str(hold), "--stop",
                                      win(self.stop), *args)
        deadline = time.time() + 60
        while not any(e[0] == "ready" for e in self.events()):
            if time.time() > deadline or self.process.poll() is not None:
                raise RuntimeError("the scanner did not start watching")
            time.sleep(0.02)

    def end(self):
        open(self.stop, "w").close()
        self.process.wait(timeout=60)

    def events(self):
        """(event, file name, tick) for each line of the log so far."""
        if not os.path.exists(self.log):
            return []
        out = []
        for line in read(self.log).decode("latin-1").splitlines():
            words = line.split(" ")
            if len(words) >= 2 and words[-1].isdigit():
                out.append((words[0], " ".join(words[1:-1]), int(words[-1])))
        return out

    def tick(self, event, name):
        return next((t for e, n, t in self.events() if e == event and n.lower() == name.lower()), None)


def hold_is_seen(r):
    """The control: a plain program that starts a file the scanner holds must fail with a
    sharing violation (32), or this machine cannot show a hold at all, and the row fails."""
    folder = r.base + "-control"
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(os.path.join(ctx.build, "tests", "wine", "hold_mutex.exe"), os.path.join(folder, "held.exe"))
    scanner = Scanner(folder, folder, "forever", "--existing")
    code = ctx.wine.run(fixture("start_control.exe"), win(os.path.join(folder, "held.exe"))).returncode
    scanner.end()
    r.notes.append("control: a plain program's start of a held file failed with %s" % code)
    return r.check(code == 32, "the control: a program that starts a held file got %s, not a sharing violation (32): "
                               "the hold cannot be seen here" % code)


def started_after(r, scanner, name):
    """That the installer started after the scanner let go of `name`, which it held before."""
    held, released = scanner.tick("held", name), scanner.tick("released", name)
    records = r.starts()
    tick = int(records[0].get("started_tick", -1)) if records else None
    if not r.check(held is not None and released is not None, "the scanner never held %s" % name):
        return "-"
    if not r.check(tick is not None and tick >= released,
                   "the installer started at %s, before the scanner let go of %s at %d" % (tick, name, released)):
        return "-"
    return "%.2f s after %s's release (held %.1f s)" % ((tick - released) / 1000.0, name, (released - held) / 1000.0)


def earlier_run(r, whole_set):
    """What an earlier run left: VOVore.cab, and with `whole_set` the unpacked set too."""
    os.makedirs(r.folder)
    shutil.copy(ctx.payload, os.path.join(r.folder, "VOVore.cab"))
    if whole_set:
        for name in ctx.cabinet.names:
            os.makedirs(os.path.dirname(os.path.join(r.folder, name)), exist_ok=True)
            shutil.copy(os.path.join(ctx.tree, name), os.path.join(r.folder, name))


def scanner_row(r, hold, args, earlier=None, held_for_good=False, released=ENTRY):
    """A run while the scanner holds what `args` names for `hold` ms (or for good): the
    installer starts after the release from a whole set, or, held for good, the run ends at the
    bound with nothing started."""
    if not hold_is_seen(r):
        return "-", "-", "no run: the control saw no hold"
    if earlier is not None:
        earlier_run(r, whole_set=earlier)
    scanner = Scanner(r.folder, r.base, hold, *args)
    code, seconds = r.run()
    scanner.end()
    found = r.inventory()
    if held_for_good:
        started = judge(r, code, 0)
        r.check(HELD_BOUND - 0.2 <= seconds < HELD_BOUND + MARGIN,
                "the run ended after %.1f s, not after the %.0f s bound" % (seconds, HELD_BOUND))
        return code, started, "ended after %.1f s; %d entries on disk, %s" % (
            seconds, len(found), "all whole" if all(v == "whole" for v in found.values()) else found)
    started = judge(r, code, 1)
    expect_entries(r, found, whole=ctx.cabinet.names)
    return code, started, "the set whole; started %s" % started_after(r, scanner, released)


@row("a scanner holds the VOVore.cab an earlier run left, for 2 s")
def _(r):
    return scanner_row(r, 2000, ["--existing", "--only", "VOVore.cab"], earlier=False, released="VOVore.cab")


@row("a scanner holds the entry program for 2 s once it is unpacked")
def _(r):
    return scanner_row(r, 2000, ["--only", ENTRY])


@row("a scanner holds every new file for 0.5 s once it is closed")
def _(r):
    return scanner_row(r, 500, [])


@row("a scanner holds, for 2 s, an entry an earlier run left, which the service rewrites")
def _(r):
    # Wine's cabinet service fails the iteration when it cannot open an entry's target; the
    # launcher waits for that target and unpacks the cabinet again.
    return scanner_row(r, 2000, ["--existing", "--only", "InstData\\data1.cab"], earlier=True,
                       released="InstData\\data1.cab")


@row("a scanner never lets go of the entry program")
def _(r):
    code, started, disk = scanner_row(r, "forever", ["--only", ENTRY], held_for_good=True)
    expect_entries(r, r.inventory(), whole=ctx.cabinet.names)
    return code, started, disk


@row("a scanner never lets go of the VOVore.cab an earlier run left")
def _(r):
    code, started, disk = scanner_row(r, "forever", ["--existing", "--only", "VOVore.cab"], earlier=False,
                                      held_for_good=True)
    r.check(not r.inventory(), "entries were extracted")
    return code, started, disk


# The libraries that a whole run loads by name, at both widths (a loader trace of the launcher's
# process, WINEDEBUG=+loaddll,+module), and those of them that Windows serves only from its
# system directory whoever asks, as known system libraries: the KnownDLLs list, and what the
# libraries on it import, which Windows maps with them (kernelbase, ucrtbase, win32u). Wine
# keeps no such list: a copy beside a program, preferred by the overrides below, is found by
# any search that begins in the program's folder.
RUN_LOADS = {
    "start-up, the image's imports and theirs": "kernel32 kernelbase ntdll advapi32 msvcrt sechost ucrtbase",
    "the cabinet service, from the system directory only, and its imports": "setupapi rpcrt4 version",
    "resolved lazily by the cabinet service, and its import": "cabinet zlib1",
    "the shell, from the system directory only, and its imports": "shell32 gdi32 user32 win32u shlwapi shcore imm32",
    "resolved lazily by the shell, and its import": "ole32 combase",
}
KNOWN_ON_WINDOWS = set(("advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32 msctf "
                        "msvcrt normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32 "
                        "wldap32 ws2_32 ntdll kernelbase ucrtbase win32u").split())
PLANTED = sorted(n for names in RUN_LOADS.values() for n in names.split() if n not in KNOWN_ON_WINDOWS)
LOADED = re.compile(r'^([0-9a-f]{4}):[0-9a-f]{4}:trace:loaddll:build_module Loaded L"(.*)" at [0-9A-F]+: (\w+)$')


def loads_by_process(trace):
    """The libraries each process of a +pid,+loaddll trace loaded: {pid: [(path, kind)]}."""
    out = {}
    with open(trace, errors="replace") as f:
        for line in f:
            m = LOADED.match(line.rstrip("\n"))
            if m:
                out.setdefault(m.group(1), []).append((m.group(2).replace("\\\\", "\\"), m.group(3)))
    return out


def markers(folder):
    """What the planted copies in `folder` recorded: {library: [program paths that loaded it]}."""
    return {name[:-len(".loaded")]: read(os.path.join(folder, name)).decode("latin-1").splitlines()
            for name in sorted(os.listdir(folder)) if name.endswith(".loaded")}


@row("libraries planted beside the launcher, and preferred by the platform")
def _(r):
    # The launcher as downloaded: a folder of its own, which is also the current directory,
    # beside a copy of the marker library under each planted name; the platform told to take
    # a copy found on the search path before its own.
    downloads = os.path.join(r.base, "downloads")
    os.makedirs(downloads)
    product = os.path.join(downloads, os.path.basename(ctx.launcher))
    control = os.path.join(downloads, "planting_control.exe")
    shutil.copy(ctx.launcher, product)
    shutil.copy(os.path.join(ctx.build, "tests", "wine", "planting_control.exe"), control)
    for name in PLANTED:
        shutil.copy(os.path.join(ctx.build, "tests", "wine", "planted_library.dll"), os.path.join(downloads, name + ".dll"))
    r.cwd = downloads
    overrides = {"WINEDLLOVERRIDES": "%s;%s=n,b" % (ctx.env["WINEDLLOVERRIDES"], ",".join(PLANTED))}

    # The control: a plain program that loads a planted name must get the planted copy, or
    # this setup cannot show planting at all, and the row fails.
    ctx.wine.run(control, "version.dll", env=dict(ctx.env, **overrides), cwd=downloads)
    seen = markers(downloads)
    if not r.check([p.lower() for p in seen.get("version.dll", [])] == [win(control).lower()],
                   "the control program did not load the planted version.dll (%s): planting cannot be seen" % seen):
        return "-", "-", "no run: the control saw no planting"

    trace = r.base + "-loaddll.log"  # outside the row's folder, which must stay as it was
    with open(trace, "w") as out:
        code, _ = r.run(program=product, extra=dict(overrides, WINEDEBUG="+pid,+loaddll"), stderr=out)
    started = judge(r, code, 1)
    expect_entries(r, r.inventory(), whole=ctx.cabinet.names)
    loaded_by_launcher = sorted(n for n, programs in markers(downloads).items()
                                if any(p.lower() == win(product).lower() for p in programs))
    r.check(not loaded_by_launcher, "the launcher loaded the planted %s" % ", ".join(loaded_by_launcher))
    # Every library in the launcher's process but its own image came from the system
    # directory, and the trace names no library that the row should have planted and did not.
    process = next((loads for loads in loads_by_process(trace).values() if loads and loads[0][0].lower() ==
                    win(product).lower()), None)
    if r.check(process is not None, "the loader trace shows no process of the launcher"):
        system = "c:\\windows\\system32\\"
        foreign = [p for p, _ in process[1:] if not p.lower().startswith(system)]
        r.check(not foreign, "libraries loaded from outside the system directory: %s" % foreign)
        names = {p.lower().rsplit("\\", 1)[-1].rsplit(".", 1)[0] for p, _ in process[1:]}
        unplanned = sorted(names - KNOWN_ON_WINDOWS - set(PLANTED))
        r.check(not unplanned, "the run loads libraries not known on Windows that the row does not plant: %s" % unplanned)
    return code, started, "%s planted; the control loaded version.dll; no planted copy loaded; the set whole" % (
        ", ".join(PLANTED))


def pytest_generate_tests(metafunc):
    # Every row registered above, in their order, each by the words of its situation.
    if "situation" in metafunc.fixturenames:
        metafunc.parametrize("situation", ROWS, ids=[slug(name) for name, _ in ROWS])

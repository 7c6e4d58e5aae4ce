"""The payload made from a folder (tools/make_folder_payload.py): folders the launcher could
not serve are refused with the path at fault; served ones give a cabinet that the payload
check accepts, holds the folder's files exactly, starts with the entry program, reaches every
entry within the two-level folder rule, and has the same bytes whatever the files' times,
modes and creation order; the cabinet is rewritten when, and only when, the content changes;
the limits of one cabinet folder and of the image are refused at their bounds.

Options: --payload-check TOOL --make-folder-payload SCRIPT --work DIR (see conftest.py)
"""
import filecmp
import os
import runpy
import shutil
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

ENTRY = "RUZE_Derurerovo_Vozi.exe"
PROGRAM = b"MZ" + bytes(range(256)) * 4
BASE = {ENTRY: PROGRAM, "InstData/setup.ini": b"[setup]\r\n" * 40}
FOLDER_MAX, IMAGE_MAX = 65535 * 32768, 1536 << 20


@pytest.fixture(scope="module")
def ctx(pytestconfig):
    """The folder tool, the payload check, and a work folder for the cases' folders."""
    names = ("payload_check", "make_folder_payload", "work")
    values = [pytestconfig.getoption(n) for n in names]
    if not all(values):
        pytest.fail("--payload-check, --make-folder-payload and --work not given: run it through CTest (ctest --preset "
                    "native -R folder_payload_cases -V)", pytrace=False)
    os.makedirs(values[2], exist_ok=True)
    return SimpleNamespace(check_tool=values[0], tool=values[1], work=values[2])


def folder(ctx, name, files, links=()):
    """A folder of `files` ({relative path with /: bytes or None for an empty folder}), made in
    the given order."""
    root = os.path.join(ctx.work, name)
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    for path, data in files.items():
        full = os.path.join(root, path)
        if data is None:
            os.makedirs(full, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
    for path, target in links:
        os.symlink(target, os.path.join(root, path))
    return root


def make(ctx, root, cab, env=None):
    r = subprocess.run([sys.executable, ctx.tool, root, cab], capture_output=True, text=True, env=env)
    return r.returncode, (r.stdout + r.stderr).strip()


def listing(cab):
    out = subprocess.run(["cabextract", "-l", cab], capture_output=True, text=True, check=True).stdout
    return [line.split("|")[-1].strip() for line in out.splitlines() if line.count("|") == 2][1:]


def same_tree(root, cab):
    """The cabinet unpacks to exactly the folder's files (empty folders aside)."""
    out = cab + ".unpacked"
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run(["cabextract", "-q", "-d", out, cab], check=True, capture_output=True)
    def files(top):
        return sorted(os.path.relpath(os.path.join(d, f), top) for d, _, fs in os.walk(top) for f in fs)
    a, b = files(root), files(out)
    return a == b and all(filecmp.cmp(os.path.join(root, p), os.path.join(out, p), shallow=False) for p in a)


# Refused folders: (what, extra files or links, words the message must hold).
REFUSED = [
    ("no entry program at the root", {ENTRY: None, "InstData/" + ENTRY: PROGRAM}, [], ["no entry program", "no-entry"]),
    ("a colon in a name", {"InstData/a:b.ini": b"x"}, [], ["a:b.ini", "colon"]),
    ("a name that is not plain ASCII", {"donn\u00e9es/a.ini": b"x"}, [], ["donn\u00e9es", "not plain ASCII"]),
    ("a folder named by dots only", {".../a.ini": b"x"}, [], ["/...", "dots and spaces"]),
    ("a backslash in a name", {"InstData/a\\b.ini": b"x"}, [], ["a\\b.ini", "a backslash", "Windows file name"]),
    ("a control character in a name", {"InstData/tab\tname.ini": b"x"}, [], ["0x09", "Windows file name"]),
    ("a wildcard in a name", {"InstData/what?.ini": b"x"}, [], ["what?.ini", '"?"', "Windows file name"]),
    ("a trailing dot", {"InstData/readme.": b"x"}, [], ["readme.", "ends in a dot"]),
    ("a device name with an extension", {"InstData/nul.txt": b"x"}, [], ["InstData/nul.txt", '"nul.txt"', "for a device"]),
    ("a folder with a device name", {"Com1/a.ini": b"x"}, [], ["/Com1", '"Com1"', "for a device", "rename it"]),
    ("a device name, spaces before its dot", {"InstData/LPT9 .log": b"x"}, [], ['"LPT9 .log"', "for a device"]),
    ("a device name alone", {"aux": b"x"}, [], ['"aux"', "for a device"]),
    ("the last COM device name", {"InstData/com9.dat": b"x"}, [], ['"com9.dat"', "for a device"]),
    ("a stored name of 90 characters", {"d/" + "n" * 84 + ".txt": b"x"}, [], ["n" * 84, "90 characters", "89 at most"]),
    ("two names that differ only in case", {"instdata/other.ini": b"x"}, [], ["instdata", "InstData", "only in case"]),
    ("a symbolic link", {}, [("InstData/link.ini", "setup.ini")], ["link.ini", "not a plain file"]),
    ("a file below three folder levels that hold no file", {"a/b/c/deep.txt": b"x", "a/b/empty": None}, [],
     ["a/b/c/deep.txt", "no entry order can reach it", '"a\\"', '"a\\b\\"']),
]


@pytest.mark.parametrize("number", range(len(REFUSED)), ids=[c[0] for c in REFUSED])
def test_a_folder_the_launcher_could_not_serve_is_refused(ctx, number):
    what, extra, links, words = REFUSED[number]
    name = "no-entry" if what.startswith("no entry") else "refused-%02d" % number  # no word of the case in its path
    files = dict(BASE)
    files.update(extra)
    files = {k: v for k, v in files.items() if not (k == ENTRY and v is None)}
    root = folder(ctx, name, files, links)
    cab = os.path.join(ctx.work, name + ".cab")
    code, out = make(ctx, root, cab)
    assert code == 1 and "REFUSED" in out, out
    assert all(w in out for w in words), "the message lacks %s: %s" % ([w for w in words if w not in out], out)
    assert not os.path.exists(cab)


# Served folders. The deep file would come before "a/z.txt" in name order, where the launcher
# could not make its folder; level by level it comes after it.
ACCEPTED = [
    ("a file three levels down, after a file of its top folder",
     {"a/b/c/deep.txt": b"deep", "a/z.txt": b"top", "a/b/c/d/e/deeper.txt": b"deeper"}),
    ("a file three levels down, after a file of a sibling folder of its parent",
     {"a/b/c/deep.txt": b"deep", "a/q/other.txt": b"other"}),
    ("a stored name of 89 characters, and empty folders left out",
     {"d/" + "n" * 83 + ".txt": b"x", "empty/inner": None, "d/nothing": None}),
    ("names that only look like device names",
     {"CONSOLE.txt": b"x", "InstData/COM10": b"x", "InstData/xnul.dat": b"x", "LPT/setup.con": b"x"}),
]


@pytest.mark.parametrize("number", range(len(ACCEPTED)), ids=[c[0] for c in ACCEPTED])
def test_a_folder_the_launcher_serves_gives_a_cabinet_of_its_files(ctx, number):
    what, extra = ACCEPTED[number]
    files = {"zz-first-by-name.txt": b"root file"}
    files.update(BASE)
    files.update(extra)
    root = folder(ctx, "accepted-%d" % number, files)
    cab = os.path.join(ctx.work, "accepted-%d.cab" % number)
    code, out = make(ctx, root, cab)
    assert code == 0, out
    checked = subprocess.run([ctx.check_tool, cab], capture_output=True, text=True)
    assert checked.returncode == 0, (checked.stdout + checked.stderr).strip()
    names = listing(cab)
    assert names[:1] == [ENTRY], "order: " + ", ".join(names)
    assert same_tree(root, cab)
    if "empty" in what:
        assert "left out" in out, out


def test_the_same_files_with_other_times_modes_and_order_give_the_same_bytes(ctx):
    first = folder(ctx, "same-a", {ENTRY: PROGRAM, "InstData/x.ini": b"x" * 100, "InstData/Sub/y.ini": b"y" * 50})
    second = folder(ctx, "same-b", {"InstData/Sub/y.ini": b"y" * 50, "InstData/x.ini": b"x" * 100, ENTRY: PROGRAM})
    for i, (d, _, fs) in enumerate(os.walk(second)):
        for f in fs:
            os.utime(os.path.join(d, f), (1000000000 + i, 1000000000 + i))
            os.chmod(os.path.join(d, f), 0o444 if i % 2 else 0o755)
    cab_a, cab_b = os.path.join(ctx.work, "same-a.cab"), os.path.join(ctx.work, "same-b.cab")
    make(ctx, first, cab_a)
    time.sleep(2.1)  # cabinets store times to 2 seconds: the second one is made at another time
    make(ctx, second, cab_b)
    assert open(cab_a, "rb").read() == open(cab_b, "rb").read()


def test_the_cabinet_is_rewritten_when_and_only_when_the_content_changes(ctx):
    first = folder(ctx, "rewrite", {ENTRY: PROGRAM, "InstData/x.ini": b"x" * 100, "InstData/Sub/y.ini": b"y" * 50})
    cab = os.path.join(ctx.work, "rewrite.cab")
    assert make(ctx, first, cab)[0] == 0
    # Running again over an unchanged folder leaves the cabinet untouched.
    stamp = os.stat(cab).st_mtime_ns
    os.utime(cab, ns=(stamp - 10**9, stamp - 10**9))
    before = os.stat(cab).st_mtime_ns
    make(ctx, first, cab)
    assert os.stat(cab).st_mtime_ns == before, "an unchanged folder rewrote its cabinet"
    # A change of a file that keeps its size and time is seen.
    target = os.path.join(first, "InstData", "x.ini")
    times = os.stat(target)
    with open(target, "wb") as f:
        f.write(b"z" * 100)
    os.utime(target, ns=(times.st_atime_ns, times.st_mtime_ns))
    make(ctx, first, cab)
    assert os.stat(cab).st_mtime_ns != before and same_tree(first, cab), "a change with its size and time kept is lost"
    # A refusal removes the cabinet of an earlier run: nothing stays that could pass for this one.
    os.remove(os.path.join(first, ENTRY))
    code, out = make(ctx, first, cab)
    assert code == 1 and not os.path.exists(cab), out


def folder_tool(ctx):
    """The folder tool's functions, loaded from its file without running its command line."""
    return SimpleNamespace(**runpy.run_path(ctx.tool))


# The limits of one cabinet folder and of the image, at their bounds: the rules themselves,
# where a real set at the bound would take gigabytes.
@pytest.mark.parametrize("count, unpacked, words", [
    (65535, FOLDER_MAX, None),
    (65536, 10, ["65,536 files", "counts its files in 16 bits, 65,535 at most", "make the set smaller"]),
    (3, FOLDER_MAX + 1, ["unpacks to 2,147,450,881 bytes", "65,535 data blocks of 32,768 bytes",
                         "2,147,450,880 bytes unpacked", "one folder", "make the set smaller"]),
], ids=["the most files and bytes one folder holds", "one file too many", "one byte too many"])
def test_the_limits_of_one_cabinet_folder(ctx, count, unpacked, words):
    tool = folder_tool(ctx)
    try:
        tool.check_limits("SET", count, unpacked)
        out = None
    except tool.Refused as e:
        out = str(e)
    if words is None:
        assert out is None, out
    else:
        assert out is not None and all(w in out for w in words), out


def test_a_folder_past_one_cabinet_folder_is_refused_at_once(ctx):
    sparse = folder(ctx, "over-folder", dict(BASE))  # a sparse file stands for the data
    with open(os.path.join(sparse, "InstData", "big.bin"), "wb") as f:
        f.truncate(FOLDER_MAX + 1 - sum(len(v) for v in BASE.values()))
    started = time.time()
    code, out = make(ctx, sparse, os.path.join(ctx.work, "over-folder.cab"))
    assert code == 1 and "2,147,450,881 bytes" in out, out
    assert time.time() - started < 20, "it read the set before refusing it"
    assert not os.path.exists(os.path.join(ctx.work, "over-folder.cab"))


def test_a_folder_of_65537_files_is_refused(ctx):
    many = folder(ctx, "over-count", dict(BASE))
    for i in range(65535):
        open(os.path.join(many, "InstData", "f%05d" % i), "wb").close()
    try:
        code, out = make(ctx, many, os.path.join(ctx.work, "over-count.cab"))
        assert code == 1 and "65,537 files" in out, out
    finally:
        shutil.rmtree(many)


# The image's bound, once gcab has made the cabinet: a stand-in gcab on PATH writes a sparse
# cabinet of the size asked.
@pytest.mark.parametrize("size, served", [(IMAGE_MAX, True), (IMAGE_MAX + 1, False)], ids=["at the bound", "past it"])
def test_a_cabinet_larger_than_the_image_carries_is_refused_and_none_is_left(ctx, size, served):
    stand_in = os.path.join(ctx.work, "stand-in-gcab")
    os.makedirs(stand_in, exist_ok=True)
    with open(os.path.join(stand_in, "gcab"), "w") as f:
        f.write("#!/bin/sh\n# gcab --create --zip CAB FILES...: a sparse cabinet of $STAND_IN_BYTES bytes\n"
                "truncate -s \"$STAND_IN_BYTES\" \"$3\"\n")
    os.chmod(os.path.join(stand_in, "gcab"), 0o755)
    small = folder(ctx, "image-bound", dict(BASE))
    cab = os.path.join(ctx.work, "image-bound.cab")
    try:
        code, out = make(ctx, small, cab, env=dict(os.environ, PATH=stand_in + os.pathsep + os.environ["PATH"],
                                                   STAND_IN_BYTES=str(size)))
        if served:
            assert code == 0 and os.path.getsize(cab) == size, out
        else:
            assert code == 1 and not os.path.exists(cab) and not os.path.exists(cab + ".tmp"), out
            assert all(w in out for w in ("its cabinet has 1,610,612,737 bytes", "1,610,612,736 bytes (1.5 GiB) at most",
                                          "2 GiB of address space", "make the set smaller")), out
    finally:
        if os.path.exists(cab):
            os.remove(cab)

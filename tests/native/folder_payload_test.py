#!/usr/bin/env python3
"""The payload made from a folder (tools/make_folder_payload.py): folders the launcher could
not serve are refused with the path at fault; served ones give a cabinet that the payload
check accepts, holds the folder's files exactly, starts with the entry program, reaches every
entry within the two-level folder rule, and has the same bytes whatever the files' times,
modes and creation order; the cabinet is rewritten when, and only when, the content changes.

usage: folder_payload_test.py PAYLOAD_CHECK MAKE_FOLDER_PAYLOAD WORK_DIR
"""
import filecmp
import importlib.util
import os
import shutil
import subprocess
import sys
import time

check_tool, tool, work = sys.argv[1], sys.argv[2], sys.argv[3]
ENTRY = "RUZE_Derurerovo_Vozi.exe"
failures = []


def report(good, what, detail=""):
    print(("ok      " if good else "FAILED  ") + what + (": " + detail if detail else ""))
    if not good:
        failures.append(what)


def folder(name, files, links=()):
    """A folder of `files` ({relative path with /: bytes or None for an empty folder}), made in
    the given order."""
    root = os.path.join(work, name)
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


def make(root, cab):
    r = subprocess.run([sys.executable, tool, root, cab], capture_output=True, text=True)
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


os.makedirs(work, exist_ok=True)
program = b"MZ" + bytes(range(256)) * 4
base = {ENTRY: program, "InstData/setup.ini": b"[setup]\r\n" * 40}

# Refused folders: (what, extra files or links, words the message must hold).
long90 = "d/" + "n" * 84 + ".txt"
cases = [
    ("no entry program at the root", {ENTRY: None, "InstData/" + ENTRY: program}, [], ["no entry program", "no-entry"]),
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
    ("a stored name of 90 characters", {long90: b"x"}, [], ["n" * 84, "90 characters", "89 at most"]),
    ("two names that differ only in case", {"instdata/other.ini": b"x"}, [], ["instdata", "InstData", "only in case"]),
    ("a symbolic link", {}, [("InstData/link.ini", "setup.ini")], ["link.ini", "not a plain file"]),
    ("a file below three folder levels that hold no file", {"a/b/c/deep.txt": b"x", "a/b/empty": None}, [],
     ["a/b/c/deep.txt", "no entry order can reach it", '"a\\"', '"a\\b\\"']),
]
for number, (what, extra, links, words) in enumerate(cases):
    name = "refused-%02d" % number  # no word of the case in the path that the message names
    if what.startswith("no entry"):
        name = "no-entry"
    files = dict(base)
    files.update(extra)
    files = {k: v for k, v in files.items() if not (k == ENTRY and v is None)}
    root = folder(name, files, links)
    cab = os.path.join(work, name + ".cab")
    code, out = make(root, cab)
    report(code == 1 and "REFUSED" in out and all(w in out for w in words) and not os.path.exists(cab), what, out)

# Served folders. The deep file would come before "a/z.txt" in name order, where the launcher
# could not make its folder; level by level it comes after it.
accepted = [
    ("a file three levels down, after a file of its top folder",
     {"a/b/c/deep.txt": b"deep", "a/z.txt": b"top", "a/b/c/d/e/deeper.txt": b"deeper"}),
    ("a file three levels down, after a file of a sibling folder of its parent",
     {"a/b/c/deep.txt": b"deep", "a/q/other.txt": b"other"}),
    ("a stored name of 89 characters, and empty folders left out",
     {"d/" + "n" * 83 + ".txt": b"x", "empty/inner": None, "d/nothing": None}),
    ("names that only look like device names",
     {"CONSOLE.txt": b"x", "InstData/COM10": b"x", "InstData/xnul.dat": b"x", "LPT/setup.con": b"x"}),
]
for i, (what, extra) in enumerate(accepted):
    files = {"zz-first-by-name.txt": b"root file"}
    files.update(base)
    files.update(extra)
    root = folder("accepted-%d" % i, files)
    cab = os.path.join(work, "accepted-%d.cab" % i)
    code, out = make(root, cab)
    checked = subprocess.run([check_tool, cab], capture_output=True, text=True) if code == 0 else None
    names = listing(cab) if code == 0 else []
    good = (code == 0 and checked.returncode == 0 and names[:1] == [ENTRY] and same_tree(root, cab)
            and ("empty" not in what or "left out" in out))
    report(good, what, (out + " | " + (checked.stdout + checked.stderr).strip() if checked else out) +
           " | order: " + ", ".join(names))

# The same content gives the same bytes: other times, other modes, another creation order.
first = folder("same-a", {ENTRY: program, "InstData/x.ini": b"x" * 100, "InstData/Sub/y.ini": b"y" * 50})
second = folder("same-b", {"InstData/Sub/y.ini": b"y" * 50, "InstData/x.ini": b"x" * 100, ENTRY: program})
for i, (d, _, fs) in enumerate(os.walk(second)):
    for f in fs:
        os.utime(os.path.join(d, f), (1000000000 + i, 1000000000 + i))
        os.chmod(os.path.join(d, f), 0o444 if i % 2 else 0o755)
cab_a, cab_b = os.path.join(work, "same-a.cab"), os.path.join(work, "same-b.cab")
make(first, cab_a)
time.sleep(2.1)  # cabinets store times to 2 seconds: the second one is made at another time
make(second, cab_b)
report(open(cab_a, "rb").read() == open(cab_b, "rb").read(),
       "the same files with other times, modes and creation order give the same cabinet bytes")

# Rewritten only when the content changes: a change of a file that keeps its size and time is
# seen; running again over an unchanged folder leaves the cabinet untouched.
stamp = os.stat(cab_a).st_mtime_ns
os.utime(cab_a, ns=(stamp - 10**9, stamp - 10**9))
before = os.stat(cab_a).st_mtime_ns
make(first, cab_a)
report(os.stat(cab_a).st_mtime_ns == before, "an unchanged folder leaves its cabinet untouched")
target = os.path.join(first, "InstData", "x.ini")
times = os.stat(target)
with open(target, "wb") as f:
    f.write(b"z" * 100)
os.utime(target, ns=(times.st_atime_ns, times.st_mtime_ns))
make(first, cab_a)
report(os.stat(cab_a).st_mtime_ns != before and same_tree(first, cab_a),
       "a file changed with its size and time kept is seen, and the cabinet holds the new content")
# A refusal removes the cabinet of an earlier run: nothing stays that could pass for this one.
os.remove(os.path.join(first, ENTRY))
code, out = make(first, cab_a)
report(code == 1 and not os.path.exists(cab_a), "a refusal removes the cabinet made before", out)

# The limits of one cabinet folder and of the image, at their bounds. The rules themselves,
# where a real set at the bound would take gigabytes:
spec = importlib.util.spec_from_file_location("make_folder_payload", tool)
folder_tool = importlib.util.module_from_spec(spec)
spec.loader.exec_module(folder_tool)
FOLDER_MAX, IMAGE_MAX = 65535 * 32768, 1536 << 20
for count, unpacked, words in [
    (65535, FOLDER_MAX, None),
    (65536, 10, ["65,536 files", "counts its files in 16 bits, 65,535 at most", "make the set smaller"]),
    (3, FOLDER_MAX + 1, ["unpacks to 2,147,450,881 bytes", "65,535 data blocks of 32,768 bytes",
                         "2,147,450,880 bytes unpacked", "one folder", "make the set smaller"]),
]:
    try:
        folder_tool.check_limits("SET", count, unpacked)
        out = None
    except folder_tool.Refused as e:
        out = str(e)
    report(out is None if words is None else out is not None and all(w in out for w in words),
           "%d files unpacking to %d bytes are %s" % (count, unpacked, "served" if words is None else "refused"),
           out or "")
# ... and the tool around them: a folder past each limit is refused before its cabinet is made
# (a sparse file stands for the data), or, for the image, once gcab has made it (a stand-in
# gcab on PATH writes a sparse cabinet of the size asked).
sparse = folder("over-folder", dict(base))
with open(os.path.join(sparse, "InstData", "big.bin"), "wb") as f:
    f.truncate(FOLDER_MAX + 1 - sum(len(v) for v in base.values()))
started = time.time()
code, out = make(sparse, os.path.join(work, "over-folder.cab"))
report(code == 1 and "2,147,450,881 bytes" in out and time.time() - started < 20 and
       not os.path.exists(os.path.join(work, "over-folder.cab")),
       "a folder past one cabinet folder's 2,147,450,880 bytes is refused at once", out)
many = folder("over-count", dict(base))
for i in range(65535):
    open(os.path.join(many, "InstData", "f%05d" % i), "wb").close()
code, out = make(many, os.path.join(work, "over-count.cab"))
report(code == 1 and "65,537 files" in out, "a folder of 65,537 files is refused", out)
shutil.rmtree(many)
stand_in = os.path.join(work, "stand-in-gcab")
os.makedirs(stand_in, exist_ok=True)
with open(os.path.join(stand_in, "gcab"), "w") as f:
    f.write("#!/bin/sh\n# gcab --create --zip CAB FILES...: a sparse cabinet of $STAND_IN_BYTES bytes\n"
            "truncate -s \"$STAND_IN_BYTES\" \"$3\"\n")
os.chmod(os.path.join(stand_in, "gcab"), 0o755)
small = folder("image-bound", dict(base))
for size, served in ((IMAGE_MAX, True), (IMAGE_MAX + 1, False)):
    cab = os.path.join(work, "image-bound.cab")
    r = subprocess.run([sys.executable, tool, small, cab], capture_output=True, text=True,
                       env=dict(os.environ, PATH=stand_in + os.pathsep + os.environ["PATH"], STAND_IN_BYTES=str(size)))
    out = (r.stdout + r.stderr).strip()
    if served:
        good = r.returncode == 0 and os.path.getsize(cab) == size
    else:
        good = (r.returncode == 1 and not os.path.exists(cab) and not os.path.exists(cab + ".tmp") and
                all(w in out for w in ("its cabinet has 1,610,612,737 bytes", "1,610,612,736 bytes (1.5 GiB) at most",
                                       "2 GiB of address space", "make the set smaller")))
    report(good, "a cabinet of %d bytes is %s" % (size, "served" if served else "refused, and none is left"), out)
    if os.path.exists(cab):
        os.remove(cab)

sys.exit(1 if failures else 0)

#!/usr/bin/env python3
"""The build's payload check: it refuses a table of cabinets the launcher cannot serve, each
with a message naming what is at fault, and accepts both sample payloads.

usage: payload_check_test.py PAYLOAD_CHECK MAKE_SAMPLE WORK_DIR
"""
import os
import shutil
import subprocess
import sys

check_tool, make_sample, work = sys.argv[1], sys.argv[2], sys.argv[3]
ENTRY = "RUZE_Derurerovo_Vozi.exe"
failures = []


def gcab(name, files, placeholder_patch=None):
    """A cabinet of `files` ([(stored path with /, bytes)]) in that order; then, optionally,
    one stored name replaced by another of the same length (names are outside the data
    checksums)."""
    tree = os.path.join(work, name + ".tree")
    shutil.rmtree(tree, ignore_errors=True)
    for path, data in files:
        full = os.path.join(tree, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
    cab = os.path.join(work, name + ".cab")
    subprocess.run(["gcab", "-c", "-z", cab] + [p for p, _ in files], cwd=tree, check=True)
    if placeholder_patch:
        old, new = placeholder_patch
        assert len(old) == len(new)
        data = open(cab, "rb").read()
        assert data.count(old) == 1, old
        open(cab, "wb").write(data.replace(old, new))
    return cab


def patched(name, source, edit):
    data = bytearray(open(source, "rb").read())
    edit(data)
    out = os.path.join(work, name + ".cab")
    open(out, "wb").write(bytes(data))
    return out


def run(cab):
    """The exit code and the check's message, without the cabinet's path (whose file name may
    hold the very words a case looks for)."""
    r = subprocess.run([check_tool, cab], capture_output=True, text=True)
    return r.returncode, (r.stdout + r.stderr).replace(cab, "CABINET")


def expect(what, cab, ok, *words):
    code, out = run(cab)
    good = (code == 0) == ok and all(w in out for w in words)
    print(("ok      " if good else "FAILED  ") + what + ": " + out.strip())
    if not good:
        failures.append(what)


os.makedirs(work, exist_ok=True)
program = (ENTRY, b"MZ" + bytes(range(256)) * 8)
def text(n):
    return b"".join(b"line %d of settings\r\n" % i for i in range(n))

good = gcab("good", [program, ("InstData/a.ini", text(50)), ("InstData/Sub/b.ini", text(20)), ("language/x.de", text(5))])
expect("a small well-formed cabinet", good, True, "4 entries")

not_cab = os.path.join(work, "not-a-cabinet.cab")
open(not_cab, "wb").write(b"PK\x03\x04 this is a zip, not a cabinet" * 4)
expect("not a cabinet", not_cab, False, "MSCF")
expect("a byte after the cabinet", patched("trailing", good, lambda d: d.extend(b"\0")), False, "total size")
expect("a truncated cabinet", patched("truncated", good, lambda d: d.__delitem__(slice(len(d) - 40, None))), False, "total size")
def truncate_and_fix(d):
    del d[len(d) - 40:]
    d[8:12] = len(d).to_bytes(4, "little")
expect("a truncated cabinet whose header was made to match", patched("truncated-fixed", good, truncate_and_fix), False,
       "does not decompress")
expect("part of a cabinet set", patched("set", good, lambda d: d.__setitem__(30, d[30] | 0x02)), False, "cabinet set")

for what, new, word in [
    ("an absolute name", b"\\AAAAAAA.txt", "absolute"),
    ("a drive colon", b"C:AAAAAA.txt", "colon"),
    ("a .. component", b"..\\AAAAA.txt", ".."),
    ("an empty component", b"AA\\\\AAAA.txt", "empty component"),
]:
    cab = gcab("name-" + word.replace(" ", "-").replace(".", "dot"), [program, ("AAAAAAAA.txt", text(3))], (b"AAAAAAAA.txt", new))
    expect(what, cab, False, word, new.decode())

expect("no entry program at the root", gcab("no-entry", [("InstData/" + ENTRY, b"MZ"), ("a.txt", b"x")]), False, "no entry program")
expect("an entry three levels below anything that exists",
       gcab("order", [program, ("a/b/c/deep.txt", b"x"), ("a/top.txt", b"y")]), False, "a\\b\\c\\deep.txt", "two-level")
expect("the same entry after its top folder was made",
       gcab("order-ok", [program, ("a/top.txt", b"y"), ("a/b/c/deep.txt", b"x")]), True)
long90 = "d/" + "n" * 84 + ".txt"
long89 = "d/" + "n" * 83 + ".txt"
assert len(long90) == 90 and len(long89) == 89
expect("a stored name of 90 characters", gcab("long90", [program, (long90, b"x")]), False, "90 characters", "170 bytes",
       "ANSI code page", "takes two")
expect("a stored name of 89 characters", gcab("long89", [program, (long89, b"x")]), True)
# A byte of a compressed block flipped: only the block checksum can tell.
def flip_data(d):
    d[len(d) - 100] ^= 0x01
expect("a flipped byte in the compressed data", patched("flipped", good, flip_data), False, "valid checksums")
def zero_checksum(d):
    first = int.from_bytes(d[36:40], "little")  # the one folder's first data block
    d[first:first + 4] = b"\0\0\0\0"
expect("a data block without a checksum", patched("zerosum", good, zero_checksum), False, "no checksum")
big = gcab("stored-block", [program, ("data.bin", os.urandom(200000))])
def flip64(d):
    for i in range(64):
        d[len(d) - 5000 - 37 * i] ^= 0x40
expect("64 flipped bytes in a stored block", patched("flipped64", big, flip64), False, "valid checksums")
def zero_second_checksum(d):
    first = int.from_bytes(d[36:40], "little")
    second = first + 8 + int.from_bytes(d[first + 4:first + 6], "little")
    d[second:second + 4] = b"\0\0\0\0"
expect("a later data block without a checksum", patched("zerosum-later", big, zero_second_checksum), False,
       "data block 1 carries no checksum")

# Names Windows keeps for devices, as a file or a folder, with an extension or none, in any
# case; names that only start or end like them are served.
for what, stored_name, word in [
    ("a file named CON", "CON", '"CON"'),
    ("nul.txt in a folder", "InstData/nul.txt", '"nul.txt"'),
    ("Aux with two extensions", "Aux.tar.gz", '"Aux.tar.gz"'),
    ("a folder named com1", "com1/readme.txt", '"com1"'),
    ("COM9 with an extension", "COM9.ini", '"COM9.ini"'),
    ("LPT1 with spaces before its dot", "InstData/LPT1  .log", '"LPT1  .log"'),
    ("lpt9", "InstData/lpt9", '"lpt9"'),
    ("PRN", "PRN.dat", '"PRN.dat"'),
]:
    cab = gcab("reserved-" + stored_name.replace("/", "-").replace(" ", "_"), [program, (stored_name, b"x")])
    expect(what, cab, False, stored_name.replace("/", "\\"), word, "for a device", "rename it")
expect("names that only look like device names", gcab("device-like", [program] + [
    (n, b"x") for n in ("CONSOLE.txt", "COM10.txt", "xnul", "setup.con", "COM.txt", "LPT.ini", "AUXX", "NUL_/a.txt")]),
    True, "9 entries")

# The limits of the format, the cabinet service and the image, each in a small cabinet whose
# fields say more than it holds. The size fields come first: the cabinet service reads
# through signed 32-bit offsets; the 32-bit image carries 1.5 GiB at most.
SERVICE_MAX, IMAGE_MAX, FOLDER_MAX = 0x7FFFFFFF, 1536 << 20, 65535 * 32768
def total_size(value):
    return lambda d: d.__setitem__(slice(8, 12), value.to_bytes(4, "little"))
for what, value, words, absent in [
    ("a total size past the cabinet service's", SERVICE_MAX + 1, ["2,147,483,648", "signed 32-bit", "2,147,483,647",
                                                                   "make the set smaller"], "1.5 GiB"),
    ("a total size of the cabinet service's largest", SERVICE_MAX, ["2,147,483,647", "1,610,612,736 bytes (1.5 GiB)",
                                                                    "2 GiB of address space"], "signed 32-bit"),
    ("a total size just past what the image carries", IMAGE_MAX + 1, ["1,610,612,737", "1,610,612,736 bytes (1.5 GiB)",
                                                                      "make the set smaller"], "signed 32-bit"),
    ("a total size of what the image carries", IMAGE_MAX, ["(1610612736 bytes) differs from the file's size"],
     "1.5 GiB"),
]:
    code, out = run(patched("total-%d" % value, good, total_size(value)))
    good_refusal = code == 1 and all(w in out for w in words) and absent not in out
    print(("ok      " if good_refusal else "FAILED  ") + what + ": " + out.strip())
    if not good_refusal:
        failures.append(what)

def file_entries(d):
    """The offsets of the cabinet's file entries, each (entry offset, size, offset in its folder)."""
    at, found = int.from_bytes(d[16:20], "little"), []
    for _ in range(int.from_bytes(d[28:30], "little")):
        found.append((at, int.from_bytes(d[at:at + 4], "little"), int.from_bytes(d[at + 4:at + 8], "little")))
        at = d.index(0, at + 16) + 1
    return found
def reach(value):
    def edit(d):
        at, _, offset = file_entries(d)[-1]
        d[at:at + 4] = (value - offset).to_bytes(4, "little")
    return edit
expect("a folder whose entries reach past 65,535 blocks of 32 KiB", patched("folder-over", good, reach(FOLDER_MAX + 1)),
       False, "cabinet folder 0", "2,147,450,881", "65,535 data blocks of 32,768 bytes", "2,147,450,880 bytes unpacked",
       'entry "language\\x.de"', "make the set smaller")
code, out = run(patched("folder-full", good, reach(FOLDER_MAX)))
print(("ok      " if code == 1 and "65,535" not in out else "FAILED  ") +
      "a folder whose entries reach exactly 65,535 blocks (refused only for its missing data): " + out.strip())
if code != 1 or "65,535" in out:
    failures.append("folder reach at the limit")
def block_unpacked(value):
    def edit(d):
        first = int.from_bytes(d[36:40], "little")
        d[first + 6:first + 8] = value.to_bytes(2, "little")
    return edit
expect("a data block that says it unpacks to 32,769 bytes", patched("block-over", good, block_unpacked(32769)), False,
       "data block 0", "32,769", "32,768 bytes at most")
first_block = int.from_bytes(open(big, "rb").read()[36:40], "little")
assert int.from_bytes(open(big, "rb").read()[first_block + 6:first_block + 8], "little") == 32768
expect("a cabinet of full 32,768-byte blocks", big, True, "2 entries")

for size in ("small", "full"):
    cab = os.path.join(work, "sample-%s.cab" % size)
    subprocess.run([sys.executable, make_sample, "--size", size, "--cab", cab, "--tree", cab + ".tree"], check=True,
                   stdout=subprocess.DEVNULL)
    expect("the %s sample payload" % size, cab, True, "76 entries", "longest name 89")
    if size == "full":
        os.remove(cab)
        shutil.rmtree(cab + ".tree")

sys.exit(1 if failures else 0)

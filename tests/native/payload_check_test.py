"""The build's payload check: it refuses a table of cabinets the launcher cannot serve, each
with a message naming what is at fault, and accepts well-formed cabinets and both sample
payloads. Each case is a test of its own.

Options: --payload-check TOOL --make-sample SCRIPT --work DIR (see conftest.py)
"""
import os
import shutil
import subprocess
import sys

import pytest

ENTRY = "RUZE_Derurerovo_Vozi.exe"
PROGRAM = (ENTRY, b"MZ" + bytes(range(256)) * 8)
SERVICE_MAX, IMAGE_MAX, FOLDER_MAX = 0x7FFFFFFF, 1536 << 20, 65535 * 32768


def text(n):
    return b"".join(b"line %d of settings\r\n" % i for i in range(n))


class Cabinets:
    """Cabinets made for the cases, in the test's work folder, and the check run on them."""

    def __init__(self, tool, work):
        self.tool, self.work = tool, work

    def gcab(self, name, files, placeholder_patch=None):
        """A cabinet of `files` ([(stored path with /, bytes)]) in that order; then, optionally,
        one stored name replaced by another of the same length (names are outside the data
        checksums)."""
        tree = os.path.join(self.work, name + ".tree")
        shutil.rmtree(tree, ignore_errors=True)
        for path, data in files:
            full = os.path.join(tree, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(data)
        cab = os.path.join(self.work, name + ".cab")
        subprocess.run(["gcab", "-c", "-z", cab] + [p for p, _ in files], cwd=tree, check=True)
        if placeholder_patch:
            old, new = placeholder_patch
            assert len(old) == len(new)
            data = open(cab, "rb").read()
            assert data.count(old) == 1, old
            open(cab, "wb").write(data.replace(old, new))
        return cab

    def patched(self, name, source, edit):
        data = bytearray(open(source, "rb").read())
        edit(data)
        out = os.path.join(self.work, name + ".cab")
        open(out, "wb").write(bytes(data))
        return out

    def good(self):
        return self.gcab("good", [PROGRAM, ("InstData/a.ini", text(50)), ("InstData/Sub/b.ini", text(20)),
                                  ("language/x.de", text(5))])

    def big(self):
        """Two entries, the second 200,000 random bytes: stored blocks of 32,768 bytes."""
        if not hasattr(self, "_big"):
            self._big = self.gcab("stored-block", [PROGRAM, ("data.bin", os.urandom(200000))])
        return self._big

    def run(self, cab):
        """The exit code and the check's message, without the cabinet's path (whose file name may
        hold the very words a case looks for)."""
        r = subprocess.run([self.tool, cab], capture_output=True, text=True)
        return r.returncode, (r.stdout + r.stderr).replace(cab, "CABINET")


@pytest.fixture(scope="module")
def cabs(pytestconfig):
    tool, work = pytestconfig.getoption("payload_check"), pytestconfig.getoption("work")
    if not tool or not work:
        pytest.fail("--payload-check and --work not given: run it through CTest (ctest --preset native -R "
                    "payload_check_cases -V)", pytrace=False)
    os.makedirs(work, exist_ok=True)
    return Cabinets(tool, work)


def expect(cabs, cab, ok, *words):
    code, out = cabs.run(cab)
    assert (code == 0) == ok, "exit code %d: %s" % (code, out.strip())
    missing = [w for w in words if w not in out]
    assert not missing, "the message lacks %s: %s" % (missing, out.strip())


def truncate_and_fix(d):
    del d[len(d) - 40:]
    d[8:12] = len(d).to_bytes(4, "little")


def flip_data(d):
    d[len(d) - 100] ^= 0x01  # a byte of a compressed block: only the block checksum can tell


def zero_checksum(d):
    first = int.from_bytes(d[36:40], "little")  # the one folder's first data block
    d[first:first + 4] = b"\0\0\0\0"


def flip64(d):
    for i in range(64):
        d[len(d) - 5000 - 37 * i] ^= 0x40


def zero_second_checksum(d):
    first = int.from_bytes(d[36:40], "little")
    second = first + 8 + int.from_bytes(d[first + 4:first + 6], "little")
    d[second:second + 4] = b"\0\0\0\0"


# (id, the cabinet, served or not, words the message must hold)
CABINET_CASES = [
    ("a small well-formed cabinet", lambda c: c.good(), True, ["4 entries"]),
    ("a byte after the cabinet", lambda c: c.patched("trailing", c.good(), lambda d: d.extend(b"\0")), False,
     ["total size"]),
    ("a truncated cabinet", lambda c: c.patched("truncated", c.good(), lambda d: d.__delitem__(slice(len(d) - 40, None))),
     False, ["total size"]),
    ("a truncated cabinet whose header was made to match", lambda c: c.patched("truncated-fixed", c.good(),
                                                                               truncate_and_fix),
     False, ["does not decompress"]),
    ("part of a cabinet set", lambda c: c.patched("set", c.good(), lambda d: d.__setitem__(30, d[30] | 0x02)), False,
     ["cabinet set"]),
    ("no entry program at the root", lambda c: c.gcab("no-entry", [("InstData/" + ENTRY, b"MZ"), ("a.txt", b"x")]),
     False, ["no entry program"]),
    ("an entry three levels below anything that exists",
     lambda c: c.gcab("order", [PROGRAM, ("a/b/c/deep.txt", b"x"), ("a/top.txt", b"y")]), False,
     ["a\\b\\c\\deep.txt", "two-level"]),
    ("the same entry after its top folder was made",
     lambda c: c.gcab("order-ok", [PROGRAM, ("a/top.txt", b"y"), ("a/b/c/deep.txt", b"x")]), True, []),
    ("a stored name of 90 characters", lambda c: c.gcab("long90", [PROGRAM, ("d/" + "n" * 84 + ".txt", b"x")]), False,
     ["90 characters", "170 bytes", "ANSI code page", "takes two"]),
    ("a stored name of 89 characters", lambda c: c.gcab("long89", [PROGRAM, ("d/" + "n" * 83 + ".txt", b"x")]), True,
     []),
    ("a flipped byte in the compressed data", lambda c: c.patched("flipped", c.good(), flip_data), False,
     ["valid checksums"]),
    ("a data block without a checksum", lambda c: c.patched("zerosum", c.good(), zero_checksum), False, ["no checksum"]),
    ("64 flipped bytes in a stored block", lambda c: c.patched("flipped64", c.big(), flip64), False, ["valid checksums"]),
    ("a later data block without a checksum", lambda c: c.patched("zerosum-later", c.big(), zero_second_checksum), False,
     ["data block 1 carries no checksum"]),
    ("names that only look like device names", lambda c: c.gcab("device-like", [PROGRAM] + [
        (n, b"x") for n in ("CONSOLE.txt", "COM10.txt", "xnul", "setup.con", "COM.txt", "LPT.ini", "AUXX",
                            "NUL_/a.txt")]), True, ["9 entries"]),
]


@pytest.mark.parametrize("make, ok, words", [c[1:] for c in CABINET_CASES], ids=[c[0] for c in CABINET_CASES])
def test_a_cabinet(cabs, make, ok, words):
    expect(cabs, make(cabs), ok, *words)


def test_a_cabinet_of_full_32768_byte_blocks(cabs):
    data = open(cabs.big(), "rb").read()
    first = int.from_bytes(data[36:40], "little")
    assert int.from_bytes(data[first + 6:first + 8], "little") == 32768, "the case's blocks are not full"
    expect(cabs, cabs.big(), True, "2 entries")


def test_not_a_cabinet(cabs):
    not_cab = os.path.join(cabs.work, "not-a-cabinet.cab")
    open(not_cab, "wb").write(b"PK\x03\x04 this is a zip, not a cabinet" * 4)
    expect(cabs, not_cab, False, "MSCF")


@pytest.mark.parametrize("new, word", [(b"\\AAAAAAA.txt", "absolute"), (b"C:AAAAAA.txt", "colon"),
                                       (b"..\\AAAAA.txt", ".."), (b"AA\\\\AAAA.txt", "empty component")],
                         ids=["an absolute name", "a drive colon", "a .. component", "an empty component"])
def test_a_stored_name_that_would_leave_the_folder(cabs, new, word):
    cab = cabs.gcab("name-" + word.replace(" ", "-").replace(".", "dot"), [PROGRAM, ("AAAAAAAA.txt", text(3))],
                    (b"AAAAAAAA.txt", new))
    expect(cabs, cab, False, word, new.decode())


# Names Windows keeps for devices, as a file or a folder, with an extension or none, in any
# case; names that only start or end like them are served (above).
@pytest.mark.parametrize("stored_name, word", [
    ("CON", '"CON"'), ("InstData/nul.txt", '"nul.txt"'), ("Aux.tar.gz", '"Aux.tar.gz"'), ("com1/readme.txt", '"com1"'),
    ("COM9.ini", '"COM9.ini"'), ("InstData/LPT1  .log", '"LPT1  .log"'), ("InstData/lpt9", '"lpt9"'),
    ("PRN.dat", '"PRN.dat"'),
])
def test_a_device_name(cabs, stored_name, word):
    cab = cabs.gcab("reserved-" + stored_name.replace("/", "-").replace(" ", "_"), [PROGRAM, (stored_name, b"x")])
    expect(cabs, cab, False, stored_name.replace("/", "\\"), word, "for a device", "rename it")


# The limits of the format, the cabinet service and the image, each in a small cabinet whose
# fields say more than it holds. The size fields come first: the cabinet service reads
# through signed 32-bit offsets; the 32-bit image carries 1.5 GiB at most.
@pytest.mark.parametrize("value, words, absent", [
    (SERVICE_MAX + 1, ["2,147,483,648", "signed 32-bit", "2,147,483,647", "make the set smaller"], "1.5 GiB"),
    (SERVICE_MAX, ["2,147,483,647", "1,610,612,736 bytes (1.5 GiB)", "2 GiB of address space"], "signed 32-bit"),
    (IMAGE_MAX + 1, ["1,610,612,737", "1,610,612,736 bytes (1.5 GiB)", "make the set smaller"], "signed 32-bit"),
    (IMAGE_MAX, ["(1610612736 bytes) differs from the file's size"], "1.5 GiB"),
], ids=["past the cabinet service's", "the cabinet service's largest", "just past what the image carries",
        "what the image carries"])
def test_a_total_size(cabs, value, words, absent):
    edit = lambda d: d.__setitem__(slice(8, 12), value.to_bytes(4, "little"))  # noqa: E731
    code, out = cabs.run(cabs.patched("total-%d" % value, cabs.good(), edit))
    assert code == 1, out
    assert all(w in out for w in words) and absent not in out, out


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


def test_a_folder_whose_entries_reach_past_65535_blocks(cabs):
    expect(cabs, cabs.patched("folder-over", cabs.good(), reach(FOLDER_MAX + 1)), False, "cabinet folder 0",
           "2,147,450,881", "65,535 data blocks of 32,768 bytes", "2,147,450,880 bytes unpacked",
           'entry "language\\x.de"', "make the set smaller")


def test_a_folder_whose_entries_reach_exactly_65535_blocks_is_refused_only_for_its_missing_data(cabs):
    code, out = cabs.run(cabs.patched("folder-full", cabs.good(), reach(FOLDER_MAX)))
    assert code == 1 and "65,535" not in out, out


def test_a_data_block_that_says_it_unpacks_to_32769_bytes(cabs):
    def block_unpacked(d):
        first = int.from_bytes(d[36:40], "little")
        d[first + 6:first + 8] = (32769).to_bytes(2, "little")
    expect(cabs, cabs.patched("block-over", cabs.good(), block_unpacked), False, "data block 0", "32,769",
           "32,768 bytes at most")


@pytest.mark.parametrize("size", ["small", "full"])
def test_a_sample_payload(cabs, pytestconfig, size):
    cab = os.path.join(cabs.work, "sample-%s.cab" % size)
    subprocess.run([sys.executable, pytestconfig.getoption("make_sample"), "--size", size, "--cab", cab, "--tree",
                    cab + ".tree"], check=True, stdout=subprocess.DEVNULL)
    try:
        expect(cabs, cab, True, "76 entries", "longest name 89")
    finally:
        if size == "full":
            os.remove(cab)
            shutil.rmtree(cab + ".tree")

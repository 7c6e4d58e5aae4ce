#!/usr/bin/env python3
"""Makes the payload cabinet from a folder that holds the installation set as it should
appear in the work folder, and refuses a folder the launcher could not serve.

  make_folder_payload.py FOLDER CAB

The cabinet: one MSZIP folder (gcab), data checksums, the entry program first, then the
other files level by level (a folder's files before those of its subfolders, by name within
a level): the order that gives the launcher's two-level folder rule the most folders to
stand on. Entries are staged with one fixed time and mode, so the bytes depend only on the
files' names and contents.

The build runs this every time. It writes CAB (and CAB.manifest, the names and digests it
was made from) only when the folder's content differs from what CAB was made from, so that
adding, changing or removing a file rebuilds the executable, and nothing else does.

Refused, with the path at fault (exit code 1): no entry program at the folder's root; a name
the launcher refuses (not plain ASCII, a colon, a component of dots and spaces, a stored
name longer than 89 characters) or that a Windows folder cannot hold (a backslash, a control
character, one of * ? " < > |, a trailing dot or space, a device name such as CON or
LPT1.txt, two names that differ only in case); anything but plain files and folders (links
included); a file that no order can reach within the two-level rule. Empty folders are left
out: a cabinet holds files only.

Refused by the limit it passes, with the figure found, before the cabinet is made: more files
than a cabinet counts (65,535), more unpacked bytes than its one folder holds (65,535 blocks
of 32 KiB); and once it is made, before anything else is built: a cabinet larger than the
32-bit image carries (1.5 GiB). docs/payload-limits.md says where each limit comes from.
"""
import hashlib
import os
import shutil
import stat
import subprocess
import sys

ENTRY_PROGRAM = "RUZE_Derurerovo_Vozi.exe"
LONGEST_NAME = 89  # the launcher keeps 170 of the 259 characters of a path for its folder
FIXED_TIME = 1577836800  # 2020-01-01 00:00:00 UTC, as for the sample payloads
WINDOWS_FORBIDDEN = set('\\*?"<>|')
DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL"} | {"COM%d" % i for i in range(1, 10)} | {"LPT%d" % i for i in range(1, 10)}
# A cabinet counts its files in 16 bits; its one folder holds 65,535 data blocks (a 16-bit
# count) of 32 KiB unpacked each; the 32-bit image carries a payload of 1.5 GiB at most
# (the same figures as the payload check's, tools/payload_check/payload_rules.h).
MOST_FILES = 65535
FOLDER_BYTES = 65535 * 32768
IMAGE_PAYLOAD_BYTES = 1536 << 20


class Refused(Exception):
    pass


def stored(parts):
    return "\\".join(parts)


def check_component(name, path):
    """Refuses a file or folder name (raw bytes from the file system) that the launcher or a
    Windows folder cannot take. `path` is the on-disk path, for the message."""
    if any(b >= 0x80 for b in name):
        raise Refused("%s: the name is not plain ASCII, so it would read differently under other code pages" % path)
    text = name.decode("ascii")
    if ":" in text:
        raise Refused("%s: a colon in the name (a drive or a stream on Windows)" % path)
    if text.strip(". ") == "":
        raise Refused("%s: a name made only of dots and spaces would leave its folder" % path)
    bad = sorted({c for c in text if c in WINDOWS_FORBIDDEN or ord(c) < 0x20 or ord(c) == 0x7F})
    if bad:
        def shown(c):
            if c == "\\":
                return "a backslash"
            return "the control character 0x%02X" % ord(c) if ord(c) < 0x20 or ord(c) == 0x7F else "\"%s\"" % c
        raise Refused("%s: the name holds %s, which a Windows file name cannot" % (path, ", ".join(shown(c) for c in bad)))
    if text[-1] in ". ":
        raise Refused("%s: the name ends in a dot or a space, which Windows drops from file names" % path)
    if text.split(".", 1)[0].rstrip(" ").upper() in DEVICE_NAMES:
        raise Refused("%s: \"%s\" is a name Windows keeps for a device (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to "
                      "LPT9, with any extension, in any case): no file or folder can be made under it; rename it" % (
                          path, text))
    return text


def grouped(n):
    return "{:,}".format(n)


def check_limits(folder, count, unpacked):
    """Refuses a set that one cabinet folder cannot hold, before any of it is read."""
    if count > MOST_FILES:
        raise Refused("%s: the set has %s files, but a cabinet counts its files in 16 bits, %s at most; make the set "
                      "smaller" % (folder, grouped(count), grouped(MOST_FILES)))
    if unpacked > FOLDER_BYTES:
        raise Refused("%s: the set unpacks to %s bytes, but one cabinet folder holds at most 65,535 data blocks of "
                      "32,768 bytes, %s bytes unpacked, and the build makes a cabinet of one folder; make the set "
                      "smaller" % (folder, grouped(unpacked), grouped(FOLDER_BYTES)))


def check_carried(folder, cabinet_bytes):
    """Refuses a cabinet larger than the 32-bit image carries."""
    if cabinet_bytes > IMAGE_PAYLOAD_BYTES:
        raise Refused("%s: its cabinet has %s bytes, but the 32-bit launcher image carries a payload of %s bytes "
                      "(1.5 GiB) at most, since Windows maps the whole image into a process of 2 GiB of address "
                      "space; make the set smaller" % (folder, grouped(cabinet_bytes), grouped(IMAGE_PAYLOAD_BYTES)))


def scan(folder):
    """The folder's files as lists of name components, and its empty folders."""
    files, empty = [], []
    folded = {}

    def claim(parts, path):
        key = stored(parts).lower()
        if key in folded:
            raise Refused("%s and %s: the names differ only in case, and would be one name in a Windows folder" % (
                folded[key], path))
        folded[key] = path

    def walk(parts):
        here = os.path.join(folder, *parts)
        found = False
        with os.scandir(os.fsencode(here)) as it:
            children = sorted(it, key=lambda e: e.name)
        for child in children:
            path = os.path.join(here, os.fsdecode(child.name))
            name = check_component(child.name, path)
            claim(parts + [name], path)
            mode = child.stat(follow_symlinks=False).st_mode
            if stat.S_ISDIR(mode):
                found = walk(parts + [name]) or found
            elif stat.S_ISREG(mode):
                if len(stored(parts + [name])) > LONGEST_NAME:
                    raise Refused("%s: its stored name \"%s\" has %d characters, %d at most (the launcher keeps the "
                                  "rest of a path's 259 for its folder)" % (
                                      path, stored(parts + [name]), len(stored(parts + [name])), LONGEST_NAME))
                files.append(parts + [name])
                found = True
            else:
                raise Refused("%s: not a plain file or folder (links and special files are refused)" % path)
        if not found and parts:
            empty.append(here)
        return found

    if not os.path.isdir(folder):
        raise Refused("%s: not a folder" % folder)
    walk([])
    return files, [e for e in empty if os.path.dirname(e) not in empty]  # the outermost empty folders


def order(folder, files):
    """The entry program, then level by level; refuses a file that the two-level rule cannot
    reach even so. The order is the best one: a folder exists on the user's machine only once
    an entry in it or in a folder directly inside it was written, and every such entry comes
    before any entry two levels below it."""
    if [ENTRY_PROGRAM] not in files:
        raise Refused("%s: no entry program \"%s\" at its root" % (folder, ENTRY_PROGRAM))
    rest = sorted((f for f in files if f != [ENTRY_PROGRAM]), key=lambda f: (len(f), [p.lower() for p in f], f))
    ordered = [[ENTRY_PROGRAM]] + rest
    exists = {()}
    for parts in ordered:
        where = tuple(parts[:-1])
        if where in exists:
            continue
        if where[:-1] in exists:
            exists.add(where)
        elif where[:-2] in exists:
            exists.update({where[:-1], where})
        else:
            top, below = stored(where[:-2]) + "\\", stored(where[:-1]) + "\\"
            raise Refused("%s: no entry order can reach it: the launcher makes at most two missing folder levels for an "
                          "entry, and \"%s\" holds no file, nor does any folder directly inside it; put a file in \"%s\" "
                          "or \"%s\"" % (os.path.join(folder, *parts), top, top, below))
    return ordered


def manifest(folder, ordered):
    lines = ["tool " + hashlib.sha256(open(__file__, "rb").read()).hexdigest()]
    for parts in ordered:
        digest = hashlib.sha256()
        with open(os.path.join(folder, *parts), "rb") as f:
            for chunk in iter(lambda: f.read(1 << 20), b""):
                digest.update(chunk)
        lines.append("%s %s" % (digest.hexdigest(), stored(parts)))
    return "\n".join(lines) + "\n"


def make_cabinet(folder, ordered, cab):
    stage = cab + ".stage"
    shutil.rmtree(stage, ignore_errors=True)
    try:
        for parts in ordered:
            target = os.path.join(stage, *parts)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(os.path.join(folder, *parts), target)
            os.chmod(target, 0o644)
            os.utime(target, (FIXED_TIME, FIXED_TIME))
        tmp = cab + ".tmp"
        subprocess.run(["gcab", "--create", "--zip", os.path.abspath(tmp)] + ["/".join(p) for p in ordered],
                       cwd=stage, env=dict(os.environ, TZ="UTC"), check=True)
        check_carried(folder, os.path.getsize(tmp))
        os.replace(tmp, cab)
    finally:
        shutil.rmtree(stage, ignore_errors=True)
        if os.path.exists(cab + ".tmp"):
            os.remove(cab + ".tmp")


def refused(error, cab):
    print("folder payload: REFUSED: %s" % error, file=sys.stderr)
    for f in (cab, cab + ".manifest"):  # nothing that could pass for the folder's cabinet
        if os.path.exists(f):
            os.remove(f)
    return 1


def main():
    if len(sys.argv) != 3:
        print("usage: make_folder_payload.py FOLDER CAB", file=sys.stderr)
        return 2
    folder, cab = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    try:
        files, empty = scan(folder)
        ordered = order(folder, files)
        unpacked = sum(os.path.getsize(os.path.join(folder, *parts)) for parts in ordered)
        check_limits(folder, len(ordered), unpacked)
    except (Refused, OSError) as e:
        return refused(e, cab)
    for path in empty:
        print("folder payload: note: %s holds no file and is left out (a cabinet holds files only)" % path)
    wanted = manifest(folder, ordered)
    record = cab + ".manifest"
    if os.path.exists(cab) and os.path.exists(record) and open(record).read() == wanted:
        return 0
    os.makedirs(os.path.dirname(cab), exist_ok=True)
    if os.path.exists(record):
        os.remove(record)
    if unpacked > IMAGE_PAYLOAD_BYTES:
        print("folder payload: note: the set unpacks to %s bytes, more than the image carries (%s): it is served only "
              "if its cabinet is that small" % (grouped(unpacked), grouped(IMAGE_PAYLOAD_BYTES)))
    try:
        make_cabinet(folder, ordered, cab)
    except (Refused, OSError) as e:
        return refused(e, cab)
    with open(record, "w") as f:
        f.write(wanted)
    print("folder payload: %s from %s: %d files, %d bytes" % (cab, folder, len(ordered), os.path.getsize(cab)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

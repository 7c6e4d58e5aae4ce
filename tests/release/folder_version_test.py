#!/usr/bin/python3
"""A scratch release tree around a payload folder, with a Japanese version resource: the
image carries exactly the folder's files (the entry program first) and the version values in
language 1041; adding, changing or removing a file rebuilds it, whatever the file's time,
and an unchanged folder does not; a folder the launcher cannot serve, or version settings
that make no version, stop the configuration or the build with the cause named.

usage: folder_version_test.py SOURCE_DIR WORK_DIR
"""
import hashlib
import os
import shutil
import subprocess
import sys

import pefile

from scratch_tree import RT_VERSION, build, configure, failures, payload_of, report, resources

source, work = sys.argv[1], sys.argv[2]
ENTRY = "RUZE_Derurerovo_Vozi.exe"
VERSION = {
    "WEB_INSTALLER_VERSION": "2.1.0.7",
    "WEB_INSTALLER_PRODUCT_NAME": 'ウェブ インストーラ "体験版" C:\\Setup',
    "WEB_INSTALLER_COMPANY": "株式会社 見本",
    "WEB_INSTALLER_COPYRIGHT": "© 2025 株式会社 見本",
}
OLD_TIME = 1000000000  # 2001: older than any build output


def write(path, data, when=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if when is not None:
        os.utime(path, (when, when))


def unpacked(image):
    """The files the image's payload unpacks to ({stored name with /: bytes}), and its order."""
    cab = os.path.join(work, "embedded.cab")
    with open(cab, "wb") as f:
        f.write(payload_of(image))
    out = os.path.join(work, "embedded")
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run(["cabextract", "-q", "-d", out, cab], check=True, capture_output=True)
    listing = subprocess.run(["cabextract", "-l", cab], capture_output=True, text=True, check=True).stdout
    order = [line.split("|")[-1].strip() for line in listing.splitlines() if line.count("|") == 2][1:]
    files = {}
    for d, _, names in os.walk(out):
        for n in names:
            with open(os.path.join(d, n), "rb") as f:
                files[os.path.relpath(os.path.join(d, n), out)] = f.read()
    return files, order


def folder_files(root):
    files = {}
    for d, _, names in os.walk(root):
        for n in names:
            with open(os.path.join(d, n), "rb") as f:
                files[os.path.relpath(os.path.join(d, n), root)] = f.read()
    return files


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


os.makedirs(work, exist_ok=True)
tree = os.path.join(work, "tree")
image = os.path.join(tree, "Web_Installer.exe")
folder = os.path.join(work, "installation-set")
shutil.rmtree(folder, ignore_errors=True)
write(os.path.join(folder, ENTRY), b"MZ" + bytes(range(256)) * 16)
write(os.path.join(folder, "InstData", "setup.ini"), b"[setup]\r\nversion=1\r\n" * 20)
write(os.path.join(folder, "InstData", "Deep", "Deeper", "data.bin"), bytes(range(256)) * 64)
write(os.path.join(folder, "language", "setup.ja"), b"lang=ja\r\n")

code, out = configure(source, tree, WEB_INSTALLER_PAYLOAD=folder, **VERSION)
if code == 0:
    code, out = build(tree)
report(code == 0 and os.path.isfile(image), "a release tree around a folder, with a version, builds", out[-2000:] if code else "")
if failures:
    sys.exit(1)

# The version resource, as Explorer and the signing tools read it.
pe = pefile.PE(image)
versions = [k for k in resources(pe) if k[0] == RT_VERSION]
strings, translation = {}, None
for info in pe.FileInfo[0]:
    for table in getattr(info, "StringTable", []):
        strings[table.LangID] = {k.decode(): v.decode("utf-8") for k, v in table.entries.items()}
    for var in getattr(info, "Var", []):
        translation = var.entry.get(b"Translation")
fixed = pe.VS_FIXEDFILEINFO[0]
expected = {"CompanyName": VERSION["WEB_INSTALLER_COMPANY"], "FileDescription": VERSION["WEB_INSTALLER_PRODUCT_NAME"],
            "FileVersion": "2.1.0.7", "InternalName": "Web_Installer", "LegalCopyright": VERSION["WEB_INSTALLER_COPYRIGHT"],
            "OriginalFilename": "Web_Installer.exe", "ProductName": VERSION["WEB_INSTALLER_PRODUCT_NAME"],
            "ProductVersion": "2.1.0.7"}
report(versions == [(RT_VERSION, 1, 1041)], "one version resource, language 1041", str(versions))
report(strings == {b"041104B0": expected} and translation == "0x0411 0x04b0",
       "its strings are the Japanese table (041104B0, Unicode) with the values given, quotes and backslash intact",
       "%s %s" % (strings, translation))
report((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS) ==
       (0x20001, 0x7, 0x20001, 0x7), "its numeric file and product versions are 2.1.0.7")
r = subprocess.run(["ctest", "--test-dir", tree, "-R", "release_inspection"], capture_output=True, text=True)
report(r.returncode == 0, "the tree's own inspection passes on it", r.stdout[-1500:] if r.returncode else "")

# The payload: the folder's files, exactly, the entry program first.
files, order = unpacked(image)
report(files == folder_files(folder) and order[:1] == [ENTRY], "the payload unpacks to the folder's files, the entry "
       "program first", ", ".join(order))

# Changes to the folder, each made with an old file time: each rebuilds the image around the
# folder as it now is. A build with nothing changed leaves the image alone.
changes = [
    ("a file added", lambda: write(os.path.join(folder, "language", "setup.fr"), b"lang=fr\r\n", OLD_TIME)),
    ("a file changed with its size and time kept",
     lambda: write(os.path.join(folder, "InstData", "setup.ini"), b"[setup]\r\nversion=2\r\n" * 20,
                   os.stat(os.path.join(folder, "InstData", "setup.ini")).st_mtime)),
    ("a file removed", lambda: os.remove(os.path.join(folder, "InstData", "Deep", "Deeper", "data.bin"))),
]
for what, change in changes:
    before = digest(image)
    change()
    code, out = build(tree)
    files, _ = unpacked(image)
    report(code == 0 and digest(image) != before and files == folder_files(folder),
           "%s: the image is rebuilt around the folder as it now is" % what)
stamp = os.stat(image).st_mtime_ns
code, out = build(tree)
report(code == 0 and os.stat(image).st_mtime_ns == stamp, "nothing changed: the image is not rebuilt")

# Settings that stop the configuration or the build, with the cause named.
bad = os.path.join(work, "no-entry-program")
shutil.rmtree(bad, ignore_errors=True)
write(os.path.join(bad, "InstData", ENTRY), b"MZ")
refusals = [
    ("a folder without the entry program at its root", {"WEB_INSTALLER_PAYLOAD": bad}, True,
     ["REFUSED", bad, "no entry program"]),
    ("a version that is not numbers", {"WEB_INSTALLER_PAYLOAD": folder, "WEB_INSTALLER_VERSION": "2.1-beta"}, False,
     ["WEB_INSTALLER_VERSION", "2.1-beta"]),
    ("a version number above 65535", {"WEB_INSTALLER_VERSION": "2.70000"}, False, ["70000", "65535"]),
    ("a product name without a version", {"WEB_INSTALLER_VERSION": ""}, False,
     ["WEB_INSTALLER_PRODUCT_NAME", "needs a version"]),
]
for what, settings, at_build, words in refusals:
    code, out = configure(source, tree, **settings)
    if at_build and code == 0:
        code, out = build(tree)
    report(code != 0 and all(w in out for w in words), what + " is refused " + ("by the build" if at_build else
           "when configuring"), next((line.strip() for line in out.splitlines() if words[-1] in line), out[-500:]))

sys.exit(1 if failures else 0)

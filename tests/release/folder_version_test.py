"""A scratch release tree around a payload folder, with a Japanese version resource: the
image carries exactly the folder's files (the entry program first) and the version values in
language 1041; adding, changing or removing a file rebuilds it, whatever the file's time,
and an unchanged folder does not; a folder the launcher cannot serve, or version settings
that make no version, stop the configuration or the build with the cause named.

The tests share one scratch tree and run in the order they are written: the changes and
the refusals come last, after the tree's first build has been read.

Options: --source DIR --work DIR (see conftest.py)
"""
import hashlib
import os
import shutil
import subprocess
from types import SimpleNamespace

import pefile
import pytest

from scratch_tree import RT_VERSION, build, configure, payload_of, resources

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


def unpacked(work, image):
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


@pytest.fixture(scope="module")
def tree(shipping):
    """The scratch tree around the folder, with the version settings, built once."""
    work = os.path.join(shipping.work, "folder")
    os.makedirs(work, exist_ok=True)
    t = SimpleNamespace(source=shipping.source, work=work, tree=os.path.join(work, "tree"),
                        folder=os.path.join(work, "installation-set"))
    t.image = os.path.join(t.tree, "Web_Installer.exe")
    shutil.rmtree(t.folder, ignore_errors=True)
    write(os.path.join(t.folder, ENTRY), b"MZ" + bytes(range(256)) * 16)
    write(os.path.join(t.folder, "InstData", "setup.ini"), b"[setup]\r\nversion=1\r\n" * 20)
    write(os.path.join(t.folder, "InstData", "Deep", "Deeper", "data.bin"), bytes(range(256)) * 64)
    write(os.path.join(t.folder, "language", "setup.ja"), b"lang=ja\r\n")
    code, out = configure(t.source, t.tree, WEB_INSTALLER_PAYLOAD=t.folder, **VERSION)
    if code == 0:
        code, out = build(t.tree)
    if code != 0 or not os.path.isfile(t.image):
        pytest.fail("a release tree around a folder, with a version, does not build: " + out[-2000:], pytrace=False)
    return t


def version_info(image):
    """The version resources, the string tables by language, the translation and the fixed info."""
    pe = pefile.PE(image)
    versions = [k for k in resources(pe) if k[0] == RT_VERSION]
    strings, translation = {}, None
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            strings[table.LangID] = {k.decode(): v.decode("utf-8") for k, v in table.entries.items()}
        for var in getattr(info, "Var", []):
            translation = var.entry.get(b"Translation")
    return versions, strings, translation, pe.VS_FIXEDFILEINFO[0]


def test_one_version_resource_in_language_1041(tree):
    assert version_info(tree.image)[0] == [(RT_VERSION, 1, 1041)]


def test_its_strings_are_the_japanese_table_with_the_values_given_quotes_and_backslash_intact(tree):
    _, strings, translation, _ = version_info(tree.image)
    expected = {"CompanyName": VERSION["WEB_INSTALLER_COMPANY"], "FileDescription": VERSION["WEB_INSTALLER_PRODUCT_NAME"],
                "FileVersion": "2.1.0.7", "InternalName": "Web_Installer",
                "LegalCopyright": VERSION["WEB_INSTALLER_COPYRIGHT"], "OriginalFilename": "Web_Installer.exe",
                "ProductName": VERSION["WEB_INSTALLER_PRODUCT_NAME"], "ProductVersion": "2.1.0.7"}
    assert strings == {b"041104B0": expected} and translation == "0x0411 0x04b0"


def test_its_numeric_file_and_product_versions_are_2_1_0_7(tree):
    fixed = version_info(tree.image)[3]
    assert (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS) == (
        0x20001, 0x7, 0x20001, 0x7)


def test_the_trees_own_inspection_passes_on_it(tree):
    r = subprocess.run(["ctest", "--test-dir", tree.tree, "-R", "release_inspection"], capture_output=True, text=True)
    assert r.returncode == 0, r.stdout[-1500:]


def test_the_payload_unpacks_to_the_folders_files_the_entry_program_first(tree):
    files, order = unpacked(tree.work, tree.image)
    assert files == folder_files(tree.folder) and order[:1] == [ENTRY], ", ".join(order)


# Changes to the folder, each made with an old file time: each rebuilds the image around the
# folder as it now is.
CHANGES = [
    ("a file added", lambda folder: write(os.path.join(folder, "language", "setup.fr"), b"lang=fr\r\n", OLD_TIME)),
    ("a file changed with its size and time kept",
     lambda folder: write(os.path.join(folder, "InstData", "setup.ini"), b"[setup]\r\nversion=2\r\n" * 20,
                          os.stat(os.path.join(folder, "InstData", "setup.ini")).st_mtime)),
    ("a file removed", lambda folder: os.remove(os.path.join(folder, "InstData", "Deep", "Deeper", "data.bin"))),
]


@pytest.mark.parametrize("change", [c[1] for c in CHANGES], ids=[c[0] for c in CHANGES])
def test_a_change_rebuilds_the_image_around_the_folder_as_it_now_is(tree, change):
    before = digest(tree.image)
    change(tree.folder)
    code, out = build(tree.tree)
    assert code == 0, out[-1500:]
    assert digest(tree.image) != before, "the image was not rebuilt"
    assert unpacked(tree.work, tree.image)[0] == folder_files(tree.folder)


def test_nothing_changed_the_image_is_not_rebuilt(tree):
    stamp = os.stat(tree.image).st_mtime_ns
    code, out = build(tree.tree)
    assert code == 0 and os.stat(tree.image).st_mtime_ns == stamp, out[-1500:]


# Settings that stop the configuration or the build, with the cause named; they change the
# tree's settings, so they come last.
REFUSALS = [
    ("a folder without the entry program at its root", "bad-folder", True, ["REFUSED", "BAD", "no entry program"]),
    ("a version that is not numbers", {"WEB_INSTALLER_PAYLOAD": "FOLDER", "WEB_INSTALLER_VERSION": "2.1-beta"}, False,
     ["WEB_INSTALLER_VERSION", "2.1-beta"]),
    ("a version number above 65535", {"WEB_INSTALLER_VERSION": "2.70000"}, False, ["70000", "65535"]),
    ("a product name without a version", {"WEB_INSTALLER_VERSION": ""}, False,
     ["WEB_INSTALLER_PRODUCT_NAME", "needs a version"]),
]


@pytest.mark.parametrize("settings, at_build, words", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_settings_that_make_no_image_are_refused_with_their_cause(tree, settings, at_build, words):
    bad = os.path.join(tree.work, "no-entry-program")
    if settings == "bad-folder":
        shutil.rmtree(bad, ignore_errors=True)
        write(os.path.join(bad, "InstData", ENTRY), b"MZ")
        settings = {"WEB_INSTALLER_PAYLOAD": bad}
    settings = {k: {"FOLDER": tree.folder}.get(v, v) for k, v in settings.items()}
    words = [{"BAD": bad}.get(w, w) for w in words]
    code, out = configure(tree.source, tree.tree, **settings)
    if at_build and code == 0:
        code, out = build(tree.tree)
    message = next((line.strip() for line in out.splitlines() if words[-1] in line), out[-500:])
    assert code != 0, "not refused " + ("by the build" if at_build else "when configuring")
    assert all(w in out for w in words), message

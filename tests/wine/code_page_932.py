"""The launcher on a Japanese system: ANSI code page 932 (Shift-JIS), where the trail byte of a
double-byte character can be 0x5C, the backslash. Wine takes its code page from the Unix
locale, so the programs run with a private ja_JP.UTF-8 locale, made once into BUILD_DIR/locale
and named through LOCPATH and LC_ALL; a probe started the same way must report GetACP() 932
before anything else is judged.

The temp directory (set in HKCU\\Environment, as users set it) and the current directory have
names made of such characters (表 95 5C, ソ 83 5C, 能 94 5C, 十 8F 5C) and a space. The runs,
each a test:

  - the launcher under test around its payload: the work folder under the Japanese temp path,
    the RunOnce value read back as Unicode (and its raw UTF-16: the 2L+2 bytes converted
    from code page 932), the folder opened to Everyone, VOVore.cab and every entry byte for
    byte, the installer started once from the launcher's current directory with no arguments;
  - twin_trailbyte, whose payload stores "Newdir\\表饅\\a.ini" (0x5C trail bytes) where
    neither folder exists yet: the callback must make both and the entry must land whole;
  - a temp directory that code page 932 cannot hold ("𠮷田", U+20BB7 being in no ANSI code
    page: the narrow temp path holds '?' for it), reached through its short (8.3) form: the
    work folder, RunOnce value and installer name the short form, which the platform resolves
    back to the folder inside the real temp directory;
  - a temp directory whose characters code page 932 lacks but maps to look-alikes ("José",
    "Müller ñß": the narrow temp path then reads "Jose", "Muller ns", another directory),
    reached through its short form the same way.

A temp directory that code page 932 can hold keeps exactly today's bytes. Every run must end
with exit code 0 and create nothing outside its work folder.

Options: --build-dir --scratch --launcher --payload (see conftest.py)
"""
import filecmp
import os
import shutil
import subprocess
import tempfile
from types import SimpleNamespace

import pytest

from wine_runs import ENTRY, GUID, Checks, installer_starts, listing

REG_SZ = 1
# What the grant gives Everyone, as the platform reports it: GENERIC_ALL as stored, or the file
# rights it maps to (without WRITE_DAC and WRITE_OWNER, which a Unix file system cannot grant).
# A folder that was never opened has read and execute rights only (0x1200A9).
GENERIC_ALL = 0x10000000
FILE_ALL_BUT_OWNER = 0x1301FF
ROOM = 170  # the longest ExtractionRoot, in bytes, with which every entry of the sample fits


def japanese_locale(build):
    """The folder to name in LOCPATH, holding ja_JP.UTF-8; made on the first run."""
    root = os.path.join(build, "locale")
    if not os.path.isfile(os.path.join(root, "ja_JP.UTF-8", "LC_CTYPE")):
        os.makedirs(root, exist_ok=True)
        work = tempfile.mkdtemp(dir=root)
        made = subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8", os.path.join(work, "ja_JP.UTF-8")],
                              capture_output=True, text=True)
        if made.returncode != 0 or not os.path.isfile(os.path.join(work, "ja_JP.UTF-8", "LC_CTYPE")):
            shutil.rmtree(work, ignore_errors=True)
            pytest.fail("localedef could not make ja_JP.UTF-8 (the locales package provides its source; "
                        "scripts/bootstrap.sh installs it): %s" % made.stderr.strip(), pytrace=False)
        os.replace(os.path.join(work, "ja_JP.UTF-8"), os.path.join(root, "ja_JP.UTF-8"))
        os.rmdir(work)
    return root


def holds(text):
    """True when code page 932 holds every character of `text`."""
    try:
        text.encode("cp932")
        return True
    except UnicodeEncodeError:
        return False


@pytest.fixture(scope="module")
def jp(tree, wine):
    """The Japanese setting: the tree's Wine under code page 932, folders on the prefix's drive
    C: (so that the paths stay short wherever the build tree is), and the probe program."""
    drive_c = os.path.join(wine.prefix, "drive_c")
    base = os.path.join(drive_c, "cp932")
    j = SimpleNamespace(tree=tree, plain=wine, wine=wine.with_env(LOCPATH=japanese_locale(tree.build),
                                                                  LC_ALL="ja_JP.UTF-8"),
                        drive_c=drive_c, base=base,
                        temp=os.path.join(base, "表ソ能十 一時"),          # 一時: temporary
                        beyond=os.path.join(base, "𠮷田", "ﾃﾝﾌﾟ 一時"),    # a name 932 cannot hold, above one it can
                        lookalike=os.path.join(base, "José", "Müller ñß", "Temp"),  # read as C:\cp932\Jose\Muller ns
                        cwd=os.path.join(base, "作業 ソ十表能"),             # 作業: work
                        record=os.path.join(base, "installer-record.txt"))

    def win(path):
        inside = os.path.relpath(path, drive_c)
        return ("C:\\" + inside if not inside.startswith("..") else "Z:" + path).replace("/", "\\")

    def probe(*args, in_wine=None):
        with tempfile.TemporaryFile() as out:
            (in_wine or j.wine).run(tree.fixture("code_page_probe.exe"), *args, stdout=out)
            out.seek(0)
            return out.read().decode("ascii", "replace").strip()

    def outside_the_work_folder(folder):
        """Every path on the prefix's drive C: and under the scratch root, but the work folder's
        contents and the installer's record."""
        paths = set()
        for root in (drive_c, tree.scratch):
            for at, dirs, files in os.walk(root):
                if os.path.abspath(at) == folder:
                    dirs[:] = []
                    continue
                paths.update(os.path.join(at, n) for n in dirs + files)
        paths.discard(j.record)
        paths.discard(folder)
        return paths

    j.win, j.probe, j.outside_the_work_folder = win, probe, outside_the_work_folder
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(j.cwd)
    # The proof that the runs are under code page 932: a program started exactly as the
    # launcher is (its Wine, its prefix, its environment) reports it; the same program without
    # the locale, for contrast.
    code_pages = probe("acp")
    print("with LOCPATH=%s LC_ALL=ja_JP.UTF-8: %s; without: %s" % (j.wine.env["LOCPATH"], code_pages,
                                                                   probe("acp", in_wine=wine)))
    if not code_pages.startswith("acp=932 "):
        pytest.fail("the probe reports %s, not GetACP() 932: the runs would not be under code page 932" % code_pages,
                    pytrace=False)
    yield j
    wine.restore_temp()


def test_the_extraction_root_fits_the_room_the_sample_needs(jp):
    root = (jp.win(os.path.join(jp.temp, GUID)) + "\\").encode("cp932")
    assert len(root) <= ROOM, "%d bytes" % len(root)


# The runs: (id, what, program, the cabinet it carries, that cabinet's source tree, stored names
# that the cabinet holds under another name than the tree, the temp directory).
def cases(jp):
    tree = jp.tree
    twin = os.path.join(tree.build, "payload", "bad-trailbyte.cab")
    return {
        "japanese": ("the launcher under test", tree.launcher, tree.payload, tree.payload_tree, {}, jp.temp),
        "trail-bytes": ("twin_trailbyte", os.path.join(tree.build, "twin_trailbyte.exe"), twin,
                        os.path.join(tree.build, "payload", "small.cab.tree"), {"InstData/0401.ini": "Newdir/表饅/a.ini"},
                        jp.temp),
        "beyond-the-code-page": ("the launcher under test, temp beyond the code page", tree.launcher, tree.payload,
                                 tree.payload_tree, {}, jp.beyond),
        "look-alikes": ("the launcher under test, temp with look-alikes", tree.launcher, tree.payload,
                        tree.payload_tree, {}, jp.lookalike),
    }


@pytest.mark.parametrize("case", ["japanese", "trail-bytes", "beyond-the-code-page", "look-alikes"])
def test_a_run_under_code_page_932(jp, case):
    run_case(jp, *cases(jp)[case]).verdict()


def run_case(jp, what, program, cabinet, tree, renamed, temp_dir):
    """One run under code page 932, and its checks; the failed ones, each with its message."""
    checks = Checks(what)

    def check(_, text, ok, detail=""):
        checks.check(ok, text + ("" if ok or not detail else " (%s)" % detail))

    folder = os.path.join(temp_dir, GUID)
    shutil.rmtree(os.path.dirname(jp.beyond), ignore_errors=True)
    shutil.rmtree(os.path.join(jp.base, "José"), ignore_errors=True)
    shutil.rmtree(jp.temp, ignore_errors=True)
    os.makedirs(temp_dir)
    if os.path.exists(jp.record):
        os.remove(jp.record)
    jp.wine.delete_runonce()
    jp.wine.set_temp(jp.win(temp_dir))
    before = jp.outside_the_work_folder(folder)
    handed_out = jp.probe("temp")
    narrow = bytes.fromhex(handed_out.partition("narrow=")[2].split(" ")[0]).decode("cp932", "replace")
    print("    %s: GetTempPathA gives %s" % (what, narrow))
    if not holds(jp.win(temp_dir)):
        # The case is what it claims: the platform's narrow path is not the real one.
        check(what, "the narrow temp path the platform hands out is not the real one", narrow != jp.win(temp_dir) + "\\",
              narrow)

    run_env = dict(jp.wine.env, WI_SAMPLE_RECORD=jp.win(jp.record))
    try:
        code = jp.wine.run(program, cwd=jp.cwd, env=run_env, timeout=120).returncode
    except subprocess.TimeoutExpired:
        code = "hang"
    check(what, "exit code 0", code == 0, "exit code %s" % code)
    check(what, "the work folder is in the temp directory", os.path.isdir(folder), folder)

    stored = jp.probe("runonce")
    data = bytes.fromhex(stored.partition("data=")[2]) if stored.startswith("type=") else b""
    as_unicode = data.decode("utf-16-le", "replace").split("\0")[0]
    prefix, quote = 'cmd /Q /C rd /S /Q "', '"'
    named = as_unicode[len(prefix):-1] if as_unicode.startswith(prefix) and as_unicode.endswith(quote) else None
    if holds(jp.win(temp_dir)):
        # Exactly today's bytes: the long path, as GetTempPathA gives it.
        check(what, "RunOnce, read as Unicode, is the rd command with the Japanese path", named == jp.win(folder),
              "%r, expected %r" % (as_unicode, prefix + jp.win(folder) + quote))
    else:
        long_form = jp.probe("long", named) if named else "missing"
        resolved = bytes.fromhex(long_form.partition("long=")[2]).decode("utf-16-le") if long_form != "missing" else None
        check(what, "RunOnce names the work folder by a short form that code page 932 holds, not the long path",
              named is not None and "?" not in named and named != jp.win(folder) and holds(named), repr(as_unicode))
        check(what, "that short form is the work folder inside the real temp directory", resolved == jp.win(folder),
              "%r resolves to %r, expected %r" % (named, resolved, jp.win(folder)))
    command = prefix + (named or "") + quote
    raw_command = command.encode("cp932", "replace")
    layout = (raw_command + b"\0" * (len(raw_command) + 2)).decode("cp932").encode("utf-16-le")
    same = next((i for i, (a, b) in enumerate(zip(data, layout)) if a != b), min(len(data), len(layout)))
    check(what, "RunOnce holds REG_SZ: the 2L+2 bytes converted from code page 932",
          named is not None and stored == "type=%d data=%s" % (REG_SZ, layout.hex()),
          "%s: %d bytes, expected type=%d: %d bytes; the same up to byte %d" % (
              stored.partition(" ")[0], len(data), REG_SZ, len(layout), same))
    print("    %s: temp directory %s; RunOnce bytes (UTF-16LE) %s" % (what, jp.win(temp_dir).encode("utf-16-le").hex(),
                                                                     data.hex()))
    everyone = jp.probe("everyone", jp.win(folder))
    rights = int(everyone.partition("everyone=")[2] or "0", 16)
    check(what, "the work folder is opened to Everyone, with write and delete rights",
          bool(rights & GENERIC_ALL) or rights & FILE_ALL_BUT_OWNER == FILE_ALL_BUT_OWNER, everyone)

    check(what, "VOVore.cab is the payload, byte for byte", os.path.isfile(os.path.join(folder, "VOVore.cab")) and
          filecmp.cmp(os.path.join(folder, "VOVore.cab"), cabinet, shallow=False))
    for stored_as in renamed.values():
        missing = [d for d in (os.path.dirname(os.path.dirname(stored_as)), os.path.dirname(stored_as))
                   if not os.path.isdir(os.path.join(folder, d))]
        check(what, "the folders of %s are made" % stored_as, not missing, "missing: %s" % missing)
    expected = {renamed.get(e, e): e for e in listing(tree)}
    differ = [e for e, source in sorted(expected.items()) if not os.path.isfile(os.path.join(folder, e)) or
              not filecmp.cmp(os.path.join(tree, source), os.path.join(folder, e), shallow=False)]
    check(what, "all %d entries unpacked, byte for byte" % len(expected), not differ,
          "%d missing or different: %s" % (len(differ), ", ".join(differ[:5])))
    extra = sorted(set(listing(folder)) - set(expected) - {"VOVore.cab"}) if os.path.isdir(folder) else []
    check(what, "nothing else in the work folder", not extra, ", ".join(extra[:5]))

    starts = installer_starts(jp.record, "cp932")
    check(what, "the installer started once", len(starts) == 1, "%d starts" % len(starts))
    first = starts[0] if starts else {}
    check(what, "with an empty argument string", first.get("arguments") == "", repr(first.get("arguments")))
    check(what, "in the launcher's current directory", first.get("current_directory") == jp.win(jp.cwd),
          "%r, expected %r" % (first.get("current_directory"), jp.win(jp.cwd)))
    # Started by the name RunOnce holds; the installer's own narrow view of its path is the
    # long one, with '?' where code page 932 lacks a character.
    check(what, "as the entry program of the work folder, started by the name RunOnce holds",
          named is not None and first.get("command_line") == '"%s\\%s"' % (named, ENTRY), repr(first.get("command_line")))
    if holds(jp.win(temp_dir)):
        check(what, "which is the installer's own path", first.get("program") == jp.win(folder) + "\\" + ENTRY,
              repr(first.get("program")))

    created = sorted(jp.outside_the_work_folder(folder) - before)
    check(what, "nothing created outside the work folder", not created, ", ".join(created[:5]))
    return checks

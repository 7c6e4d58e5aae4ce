"""What one run of the launcher under test does to the machine, seen from outside it.

Two views of the same run, each against values written out here (not taken from the code):
- the platform calls that the launcher's own image makes (a relay trace, filtered to calls
  whose return address lies in the image): the object each call acts on, its flags and
  options, and their order;
- what is left on the machine: the temp directory's own mode bits and its other children,
  the work folder's and the files' modes (where Wine shows a DACL), the RunOnce value in the
  prefix's saved registry after its server has ended (a volatile key would not be saved),
  and the single-instance mutex, owned by the launcher while it waits for the installer.

The run is made once, by the module's fixture; each check is a test of its own.
Options: --build-dir --scratch --launcher --payload (see conftest.py)
"""
import filecmp
import hashlib
import os
import re
import shutil
import struct
import time
from types import SimpleNamespace

import pytest

from wine_runs import GUID, MUTEX, RUNONCE, listing, win
from wine_runs import RUNONCE_VALUE as VALUE

PLAIN_MUTEX = "ZORVA_WEB_Installer" + GUID
SYSTEM_ADVAPI = "C:\\windows\\system32\\advapi32.dll"

TRACED = {
    "kernel32": "SetDefaultDllDirectories GetVersionExA CreateMutexA GetLastError CloseHandle GetTempPathA "
                "GetTempPathW GetShortPathNameA GetShortPathNameW WideCharToMultiByte "
                "GetModuleFileNameA CreateDirectoryA CreateDirectoryW GetFileAttributesA GetFileAttributesW "
                "GetFileAttributesExA GetFileAttributesExW "
                "FindResourceA LoadResource SizeofResource LockResource CreateFileA CreateFileW WriteFile "
                "GetSystemDirectoryA LoadLibraryA LoadLibraryW LoadLibraryExA LoadLibraryExW GetProcAddress "
                "FreeLibrary GetACP WaitForSingleObject SetErrorMode CreateMutexW MultiByteToWideChar GetTickCount Sleep",
    "advapi32": "RegCreateKeyExA RegCreateKeyExW RegSetValueExA RegSetValueExW RegCloseKey "
                "AllocateAndInitializeSid FreeSid GetFileSecurityA GetFileSecurityW SetFileSecurityA "
                "SetFileSecurityW InitializeSecurityDescriptor GetSecurityDescriptorDacl SetSecurityDescriptorDacl "
                "GetSecurityDescriptorControl SetSecurityDescriptorControl GetAclInformation InitializeAcl AddAce "
                "AddAccessAllowedAceEx",
    "setupapi": "SetupIterateCabinetA SetupIterateCabinetW",
    "shell32": "ShellExecuteExA ShellExecuteExW",
}
CALL = re.compile(r"^([0-9a-f]{4}):([0-9a-f]{4}):Call ([\w.]+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
RET = re.compile(r"^([0-9a-f]{4}):([0-9a-f]{4}):Ret  ([\w.]+)\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")
def image_range(path):
    """The launcher image's base and end in memory, from its PE header."""
    with open(path, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", head, optional)[0]
    base = struct.unpack_from("<I", head, optional + 28)[0] if magic == 0x10B else struct.unpack_from("<Q", head, optional + 24)[0]
    size = struct.unpack_from("<I", head, optional + 56)[0]
    return base, base + size


def split_args(text):
    """Relay arguments: hex numbers, and quoted strings with C escapes."""
    out, i = [], 0
    while i < len(text):
        if text[i] == ",":
            i += 1
            continue
        m = re.match(r'(?:[0-9a-f]+ )?"((?:[^"\\]|\\.)*)"', text[i:]) or re.match(r'(?:[0-9a-f]+ )?L"((?:[^"\\]|\\.)*)"', text[i:])
        if m:
            out.append(m.group(1).encode().decode("unicode_escape"))
            i += m.end()
            continue
        m = re.match(r"[^,]*", text[i:])
        # A 64-bit trace shows whole registers: a 32-bit argument is the low half.
        out.append(int(m.group(0), 16) & 0xFFFFFFFF if re.fullmatch(r"[0-9a-f]+", m.group(0)) else m.group(0))
        i += m.end()
    return out


def own_calls(trace_text, lo, hi):
    """The launcher image's own calls, in order: (function, args, return value)."""
    calls, pending = [], {}
    lines = trace_text.splitlines()
    pid = next((m.group(1) for m in map(CALL.match, lines) if m and m.group(4) == "CreateMutexA" and GUID in m.group(5)),
               None)
    for line in lines:
        m = CALL.match(line)
        if m and m.group(1) == pid and lo <= int(m.group(6), 16) < hi:
            key = (m.group(2), m.group(4), m.group(6))
            pending.setdefault(key, []).append(len(calls))
            calls.append([m.group(4), split_args(m.group(5)), None])
            continue
        m = RET.match(line)
        if m and m.group(1) == pid:
            key = (m.group(2), m.group(4), m.group(6))
            if pending.get(key):
                calls[pending[key].pop()][2] = int(m.group(5), 16) & 0xFFFFFFFF
    return calls


def snapshot(root, skip):
    """Every path under `root` but `skip`: its mode, and its bytes' digest for files."""
    out = {".": os.stat(root).st_mode}
    for base, dirs, files in os.walk(root):
        rel = os.path.relpath(base, root)
        if rel.split(os.sep)[0] in skip:
            continue
        for name in dirs + files:
            path = os.path.join(base, name)
            rel_path = os.path.normpath(os.path.join(rel, name))
            if rel_path.split(os.sep)[0] in skip:
                continue
            digest = hashlib.sha256(open(path, "rb").read()).hexdigest() if os.path.isfile(path) else "dir"
            out[rel_path] = (os.stat(path).st_mode, digest)
    return out


def saved_runonce(prefix):
    """The RunOnce key's section in the prefix's saved user registry: {name: raw value text}."""
    values, inside = {}, False
    with open(os.path.join(prefix, "user.reg"), encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("["):
                inside = line.split("]")[0] == "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\RunOnce"
            elif inside and line.startswith('"'):
                name, _, value = line.partition("=")
                values[name.strip('"')] = value
    return values


@pytest.fixture(scope="module")
def run(tree, wine):
    """One run of the launcher under test, with a relay trace of its calls, and what it left."""
    base = os.path.join(tree.scratch, "effects")
    shutil.rmtree(base, ignore_errors=True)
    temp = os.path.join(base, "temp")
    cwd = os.path.join(base, "cwd")
    os.makedirs(cwd)
    # The temp directory with things of the user's own beside the work folder.
    os.makedirs(os.path.join(temp, "own folder"))
    with open(os.path.join(temp, "own folder", "kept.txt"), "w") as f:
        f.write("the user's own file")
    with open(os.path.join(temp, "note.txt"), "w") as f:
        f.write("another file of the user's")
    os.chmod(os.path.join(temp, "own folder"), 0o750)
    os.chmod(os.path.join(temp, "own folder", "kept.txt"), 0o640)
    os.chmod(os.path.join(temp, "note.txt"), 0o600)
    os.chmod(temp, 0o755)
    r = SimpleNamespace(tree=tree, base=base, temp=temp, cwd=cwd, record=os.path.join(base, "record.txt"),
                        folder=os.path.join(temp, GUID), folder_win=win(temp) + "\\" + GUID)
    r.cabinet_win = r.folder_win + "\\VOVore.cab"
    r.entry_win = r.folder_win + "\\RUZE_Derurerovo_Vozi.exe"
    r.before = snapshot(temp, {GUID})

    # A clean slate: no RunOnce key at all, so that the launcher must create it.
    wine.run("reg", "delete", RUNONCE, "/f")
    wine.set_temp(win(temp))
    relayed = ";".join("%s.%s" % (dll, fn) for dll, fns in TRACED.items() for fn in fns.split())
    relayed += ";" + ";".join("kernelbase.%s" % fn for fn in TRACED["kernel32"].split())
    wine.run("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ", "/d", relayed, "/f")

    # The run: the installer is held for a while, so that the launcher's wait can be seen.
    run_env = dict(wine.env, WINEDEBUG="+pid,+relay", WI_SAMPLE_RECORD=win(r.record),
                   WI_SAMPLE_HOLD_EVENT="effects_never_set", WI_SAMPLE_HOLD_MS="4000")
    trace_path = os.path.join(base, "trace.log")
    probe = tree.fixture("hold_mutex.exe")
    try:
        with open(trace_path, "w") as trace_file:
            launcher = wine.start(tree.launcher, env=run_env, cwd=cwd, stderr=trace_file)
            deadline = time.time() + 60
            while not os.path.exists(r.record) and time.time() < deadline and launcher.poll() is None:
                time.sleep(0.05)
            r.owned = wine.run(probe, MUTEX, "--probe").returncode
            r.plain = wine.run(probe, PLAIN_MUTEX, "--probe").returncode
            r.still_running = launcher.poll() is None
            r.code = launcher.wait(timeout=120)
    finally:
        wine.restore_temp()
        wine.run("reg", "delete", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/f")
    r.after_owned = wine.run(probe, MUTEX, "--probe").returncode
    r.after = snapshot(temp, {GUID, "record.txt"})

    # The RunOnce value outlives the prefix's server: it is in the saved registry (a volatile
    # key is not saved), and a new server reads it back.
    wine.server_wait()
    r.command = 'cmd /Q /C rd /S /Q "%s"' % r.folder_win
    r.saved = saved_runonce(wine.prefix)
    r.query = wine.query_runonce(os.path.join(base, "query.txt"))

    lo, hi = image_range(tree.launcher)
    with open(trace_path, errors="replace") as f:
        r.calls = own_calls(f.read(), lo, hi)
    r.names = [c[0] for c in r.calls]
    r.all_of = lambda fn: [c for c in r.calls if c[0] == fn]
    r.index = lambda fn, pred=lambda c: True, start=0: next(
        (i for i, c in enumerate(r.calls) if i >= start and c[0] == fn and pred(c)), -1)
    r.iterate = r.index("SetupIterateCabinetA")
    r.creates = r.all_of("CreateFileA")
    r.ready = [i for i, c in enumerate(r.calls) if c[0] == "CreateFileA"][1:]
    yield r
    wine.server_wait()


# --- the run, seen from outside --------------------------------------------------------------

def test_the_launcher_ends_with_exit_code_0(run):
    assert run.code == 0


def test_the_installer_is_started(run):
    assert os.path.exists(run.record)


def test_while_the_installer_runs_the_launcher_waits_and_owns_the_mutex(run):
    assert run.still_running and run.owned == 10, "probe: %s" % run.owned


def test_no_mutex_under_the_plain_name(run):
    assert run.plain == 12, "probe: %s" % run.plain


def test_the_mutex_is_gone_once_the_launcher_has_ended(run):
    assert run.after_owned == 12, "probe: %s" % run.after_owned


# --- the machine afterwards ----------------------------------------------------------------

def test_the_temp_directorys_own_mode_bits_and_other_children_are_unchanged(run):
    changed = sorted(k for k in set(run.before) | set(run.after) if run.before.get(k) != run.after.get(k))
    assert not changed


def test_the_temp_directory_holds_nothing_new_but_the_work_folder(run):
    assert sorted(os.listdir(run.temp)) == sorted(["own folder", "note.txt", GUID])


def test_the_work_folder_is_open_to_everyone(run):
    mode = os.stat(run.folder).st_mode & 0o777 if os.path.isdir(run.folder) else None
    assert mode == 0o777, "mode %s" % (oct(mode) if mode else None)


def test_vovore_cab_is_not_itself_granted(run):
    # Wine shows a file's DACL in its mode bits; the cabinet service marks programs
    # executable, so VOVore.cab is compared with the unpacked files that are not programs.
    cab_mode = os.stat(os.path.join(run.folder, "VOVore.cab")).st_mode & 0o777
    data_modes = {os.stat(os.path.join(b, n)).st_mode & 0o777 for b, _, ns in os.walk(run.folder) for n in ns
                  if not n.lower().endswith((".exe", ".cab"))}
    assert data_modes == {cab_mode} and not cab_mode & 0o002, "%s, %s" % (oct(cab_mode), data_modes)


def test_vovore_cab_holds_the_payload(run):
    assert filecmp.cmp(os.path.join(run.folder, "VOVore.cab"), run.tree.payload, shallow=False)


def test_the_saved_registry_holds_the_runonce_value_and_its_trailing_zeros(run):
    escaped = run.command.replace("\\", "\\\\").replace('"', '\\"')
    assert run.saved.get(VALUE) == '"%s%s"' % (escaped, "\\0" * (len(run.command) + 1)), (
        "the command and L + 2 zero characters: %s" % run.saved.get(VALUE, "none")[:60])


def test_a_new_server_reads_the_value_back(run):
    assert run.command in run.query


# --- the launcher's own platform calls -------------------------------------------------------

def test_the_trace_holds_the_launchers_calls(run):
    assert len(run.calls) > 100, "%d calls" % len(run.calls)


def test_error_boxes_are_off_then_library_loading_is_restricted_to_the_system_directory(run):
    # The host turns the platform's error boxes off, keeping the flags already set; then the
    # start-up step's first call restricts library loading to the system directory.
    calls = run.calls
    assert (run.names[:3] == ["SetErrorMode", "SetErrorMode", "SetDefaultDllDirectories"] and calls[0][1] == [0] and
            calls[1][1] == [(calls[0][2] or 0) | 0x8001] and calls[2][1] == [0x800]), calls[:3]


def test_no_wide_variant_is_called_but_the_temp_paths_once(run):
    assert sorted(n for n in run.names if n.endswith("W") and n != "WriteFile") == ["GetTempPathW"]


def test_the_narrow_temp_path_is_read_back_against_the_wide_one(run):
    # GetTempPathW, then one conversion from the ANSI code page: CP_ACP, MB_ERR_INVALID_CHARS,
    # the whole string.
    t = run.index("GetTempPathA")
    assert (t >= 0 and run.names[t + 1:t + 3] == ["GetTempPathW", "MultiByteToWideChar"] and
            run.calls[t + 2][1][:2] == [0, 8] and run.calls[t + 2][1][3] == 0xFFFFFFFF), run.calls[t:t + 3]


def test_one_owned_mutex_of_the_global_name_with_default_security(run):
    assert [c[1] for c in run.all_of("CreateMutexA")] == [[0, 1, MUTEX]]


def test_the_last_error_is_read_right_after_the_mutex_is_created(run):
    m = run.index("CreateMutexA")
    assert m >= 0 and run.names[m + 1:m + 2] == ["GetLastError"]


def test_one_runonce_key_of_the_current_user_non_volatile_with_all_access(run):
    keys = run.all_of("RegCreateKeyExA")
    # HKCU, the RunOnce path, no class, non-volatile, KEY_ALL_ACCESS, no security, no disposition.
    assert len(keys) == 1 and keys[0][1][:7] + keys[0][1][8:9] == [
        0x80000001, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0, 0, 0, 0xF003F, 0, 0], (
        [c[1] for c in keys])


def test_one_runonce_value_of_type_reg_sz_and_2l_plus_2_bytes(run):
    sets = run.all_of("RegSetValueExA")
    assert len(sets) == 1 and sets[0][1][1:4] == [VALUE, 0, 1] and sets[0][1][5] == 2 * len(run.command) + 2, (
        [c[1] for c in sets])


def test_the_key_is_closed_once(run):
    assert len(run.all_of("RegCloseKey")) == 1


def test_the_work_folder_is_made_once_with_default_security_after_the_value_is_written(run):
    made = [i for i, c in enumerate(run.calls) if c[0] == "CreateDirectoryA" and c[1][0] == run.folder_win]
    assert len(made) == 1 and run.calls[made[0]][1][1] == 0
    assert run.index("RegSetValueExA") < made[0]


@pytest.mark.parametrize("fn, count", [("GetFileSecurityA", 4), ("SetFileSecurityA", 2)])
def test_the_grants_read_and_write_only_the_work_folders_dacl(run, fn, count):
    got = run.all_of(fn)
    assert len(got) == count and all(c[1][0] == run.folder_win and c[1][1] == 4 for c in got), [c[1][:2] for c in got]


def test_the_security_library_is_loaded_by_its_full_system_path_once_per_grant(run):
    assert [c[1][0].lower() for c in run.all_of("LoadLibraryA")] == [SYSTEM_ADVAPI.lower()] * 2


def test_both_entry_points_are_resolved_per_grant(run):
    assert sorted(c[1][1] for c in run.all_of("GetProcAddress") if c[1][1] in
                  ("SetSecurityDescriptorControl", "AddAccessAllowedAceEx")) == (
        ["AddAccessAllowedAceEx"] * 2 + ["SetSecurityDescriptorControl"] * 2)


def test_the_grantee_sid_has_one_sub_authority_all_zero(run):
    assert [[c[1][1] & 0xFF] + c[1][2:10] for c in run.all_of("AllocateAndInitializeSid")] == [[1] + [0] * 8] * 2


def test_the_new_descriptor_has_revision_1(run):
    assert [c[1][1] for c in run.all_of("InitializeSecurityDescriptor")] == [1, 1]


def test_the_acl_size_information_is_asked_with_12_bytes(run):
    assert [c[1][2:4] for c in run.all_of("GetAclInformation")] == [[12, 2]] * 2


def test_the_new_acl_has_revision_2(run):
    acls = run.all_of("InitializeAcl")
    assert len(acls) == 2 and all(c[1][2] == 2 for c in acls)


def test_old_entries_are_appended_at_the_end(run):
    assert all(c[1][1] == 2 and c[1][2] == 0xFFFFFFFF for c in run.all_of("AddAce"))


def test_the_new_entry_is_inheritable_generic_all(run):
    assert [c[1][1:4] for c in run.all_of("AddAccessAllowedAceEx")] == [[2, 3, 0x10000000]] * 2


def test_the_dacl_is_present_and_not_defaulted(run):
    dacls = run.all_of("SetSecurityDescriptorDacl")
    assert [c[1][1] for c in dacls] == [1, 1] and [c[1][3] for c in dacls] == [0, 0]


def test_the_payload_is_looked_up_as_name_137_type_5428(run):
    finds = run.all_of("FindResourceA")
    assert len(finds) == 1 and finds[0][1][1:3] == [137, 5428]


def test_vovore_cab_is_created_once_write_only_not_shared(run):
    creates = run.creates
    # GENERIC_WRITE, no sharing, CREATE_ALWAYS, normal attributes, no template.
    assert len(creates) == 3 and creates[0][1][:3] + creates[0][1][4:7] == [
        run.cabinet_win, 0x40000000, 0, 2, 0x80, 0], [c[1] for c in creates]


def test_the_readiness_opens_test_the_cabinet_and_the_entry_program_as_their_users_open_them(run):
    # Two opens that only see whether a file another program may hold is free: VOVore.cab as
    # the cabinet service reads it (GENERIC_READ, sharing read and write), the entry program as
    # process creation opens it (FILE_READ_DATA | FILE_EXECUTE | SYNCHRONIZE, sharing read and
    # delete); an existing file only, no security, no template.
    assert [c[1] for c in run.creates[1:]] == [[run.cabinet_win, 0x80000000, 3, 0, 3, 0x80, 0],
                                               [run.entry_win, 0x00100021, 5, 0, 3, 0x80, 0]]


def test_each_readiness_open_is_closed_right_after_it(run):
    assert len(run.ready) == 2 and all(run.calls[i + 1][0] == "CloseHandle" and
                                       run.calls[i + 1][1] == [run.calls[i][2]] for i in run.ready)


def test_nothing_held_means_no_wait_and_no_clock(run):
    assert not run.all_of("Sleep") and not run.all_of("GetTickCount")


def test_the_payload_goes_to_disk_in_one_write_of_its_whole_size(run):
    writes = run.all_of("WriteFile")
    assert len(writes) == 1 and writes[0][1][2] == os.path.getsize(run.tree.payload), [c[1][2] for c in writes]


def test_each_service_and_the_library_it_resolves_lazily_come_from_the_system_directory_in_order(run):
    extra = [c[1] for c in run.all_of("LoadLibraryExA")]
    assert [(a[0].lower(), a[1], a[2]) for a in extra] == [("setupapi.dll", 0, 0x800), ("cabinet.dll", 0, 0x800),
                                                           ("shell32.dll", 0, 0x800), ("ole32.dll", 0, 0x800)]


def test_the_decompressor_comes_before_the_iteration_the_component_library_before_the_launch(run):
    assert (-1 < run.index("LoadLibraryExA", lambda c: str(c[1][0]).lower() == "cabinet.dll") < run.iterate <
            run.index("LoadLibraryExA", lambda c: str(c[1][0]).lower() == "ole32.dll") < run.index("ShellExecuteExA"))


def test_one_iteration_over_vovore_cab_with_no_context(run):
    calls, iterate = run.calls, run.iterate
    assert len(run.all_of("SetupIterateCabinetA")) == 1 and calls[iterate][1][0] == run.cabinet_win and (
        calls[iterate][1][1] == 0 and calls[iterate][1][3] == 0)


def cabinet_closed(run):
    handle = run.creates[0][2] if run.creates else None
    return handle, run.index("CloseHandle", lambda c: c[1][0] == handle)


def test_the_cabinet_is_written_and_closed_before_the_iteration(run):
    handle, closed = cabinet_closed(run)
    assert handle is not None and -1 < closed < run.iterate and run.index("WriteFile") < closed


def test_every_folder_the_callback_makes_lies_inside_the_work_folder(run):
    during = [c for c in run.calls[run.iterate:] if c[0] == "CreateDirectoryA"]
    assert during and all(c[1][0].startswith(run.folder_win + "\\") and c[1][0].endswith("\\") and c[1][1] == 0
                          for c in during)


def test_the_callback_asks_for_the_code_page_for_each_of_the_76_entries(run):
    assert len([c for c in run.calls[run.iterate:] if c[0] == "GetACP"]) >= 76


def test_each_entry_is_checked_on_disk_once_by_its_target(run):
    sized = [c[1] for c in run.calls[run.iterate:] if c[0] == "GetFileAttributesExA"]
    expected = sorted(run.folder_win + "\\" + n.replace("/", "\\") for n in listing(run.tree.payload_tree))
    assert sorted(a[0] for a in sized) == expected and all(a[1] == 0 for a in sized), "%d checks" % len(sized)


def test_a_temp_path_the_code_page_holds_is_taken_as_it_is(run):
    assert not run.all_of("WideCharToMultiByte") and not run.all_of("GetShortPathNameA")


def test_the_second_grant_then_the_launch_then_the_wait(run):
    second_grant = run.index("SetFileSecurityA", start=run.iterate)
    launch, wait = run.index("ShellExecuteExA"), run.index("WaitForSingleObject")
    assert -1 < run.iterate < second_grant < launch < wait, (run.iterate, second_grant, launch, wait)
    # VOVore.cab is seen free after its close and before the iteration, the entry program
    # after the second grant and before the launch.
    _, closed = cabinet_closed(run)
    assert len(run.ready) == 2 and closed < run.ready[0] < run.iterate and second_grant < run.ready[1] < launch, (
        run.ready)


def test_one_launch(run):
    assert len(run.all_of("ShellExecuteExA")) == 1


def test_one_wait_without_a_time_out(run):
    assert [c[1][1] for c in run.all_of("WaitForSingleObject")] == [0xFFFFFFFF]


def test_the_last_call_closes_the_mutex(run):
    mutexes = run.all_of("CreateMutexA")
    handle = mutexes[0][2] if mutexes else None
    assert run.names[-1:] == ["CloseHandle"] and run.calls[-1][1] == [handle], run.calls[-1:]

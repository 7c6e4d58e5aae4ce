#!/usr/bin/env python3
"""What one run of the launcher under test does to the machine, seen from outside it.

Two views of the same run, each against values written out here (not taken from the code):
- the platform calls that the launcher's own image makes (a relay trace, filtered to calls
  whose return address lies in the image): the object each call acts on, its flags and
  options, and their order;
- what is left on the machine: the temp directory's own mode bits and its other children,
  the work folder's and the files' modes (where Wine shows a DACL), the RunOnce value in the
  prefix's saved registry after its server has ended (a volatile key would not be saved),
  and the single-instance mutex, owned by the launcher while it waits for the installer.

usage: effects.py BUILD_DIR SCRATCH_DIR LAUNCHER PAYLOAD
       (WINEPREFIX and WI_WINE, the tree's Wine, set by the test runner)
"""
import filecmp
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import time

import wine_runs
from wine_runs import GUID, RUNONCE, WINE, win
from wine_runs import RUNONCE_VALUE as VALUE

WINESERVER = "/usr/lib/wine/wineserver"
MUTEX = "Global\\ZORVA_WEB_Installer" + GUID
PLAIN_MUTEX = "ZORVA_WEB_Installer" + GUID
SYSTEM_ADVAPI = "C:\\windows\\system32\\advapi32.dll"
build, scratch, launcher, payload = (os.path.abspath(p) for p in sys.argv[1:5])
tree = payload + ".tree"
env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
for name in ("WI_SAMPLE_HOLD_EVENT", "WI_SAMPLE_HOLD_MS", "WI_SAMPLE_CRASH", "WI_SAMPLE_RECORD"):
    env.pop(name, None)

# The calls that change something outside the process, or choose what is changed, and their
# wide twins (which the launcher must never call). kernel32's calls are relayed where Wine
# implements them as well (kernelbase); both names count as one.
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

failures = []


def check(ok, what):
    print(("ok      " if ok else "FAILED  ") + what)
    if not ok:
        failures.append(what)


def wine(*args):
    return wine_runs.wine(env, *args)


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


def main():
    prefix = os.environ["WINEPREFIX"]
    base = os.path.join(scratch, "effects")
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
    record = os.path.join(base, "record.txt")
    folder = os.path.join(temp, GUID)
    folder_win = win(temp) + "\\" + GUID
    cabinet_win = folder_win + "\\VOVore.cab"
    before = snapshot(temp, {GUID})

    # A clean slate: no RunOnce key at all, so that the launcher must create it.
    wine("reg", "delete", RUNONCE, "/f")
    wine_runs.set_temp(env, win(temp))
    relayed = ";".join("%s.%s" % (dll, fn) for dll, fns in TRACED.items() for fn in fns.split())
    relayed += ";" + ";".join("kernelbase.%s" % fn for fn in TRACED["kernel32"].split())
    wine("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ", "/d", relayed, "/f")

    # The run: the installer is held for a while, so that the launcher's wait can be seen.
    run_env = dict(env, WINEDEBUG="+pid,+relay", WI_SAMPLE_RECORD=win(record), WI_SAMPLE_HOLD_EVENT="effects_never_set",
                   WI_SAMPLE_HOLD_MS="4000")
    trace_path = os.path.join(base, "trace.log")
    with open(trace_path, "w") as trace_file:
        run = subprocess.Popen([WINE, launcher], env=run_env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=trace_file)
        deadline = time.time() + 60
        while not os.path.exists(record) and time.time() < deadline and run.poll() is None:
            time.sleep(0.05)
        probe = [WINE, os.path.join(build, "tests", "wine", "hold_mutex.exe")]
        owned = subprocess.run(probe + [MUTEX, "--probe"], env=env).returncode
        plain = subprocess.run(probe + [PLAIN_MUTEX, "--probe"], env=env).returncode
        still_running = run.poll() is None
        code = run.wait(timeout=120)
    wine_runs.restore_temp(env)
    wine("reg", "delete", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/f")
    after_owned = subprocess.run(probe + [MUTEX, "--probe"], env=env).returncode

    check(code == 0, "the launcher ended with exit code 0 (%s)" % code)
    check(os.path.exists(record), "the installer was started")
    check(still_running and owned == 10,
          "while the installer runs, the launcher waits and owns the mutex %s (probe: %s)" % (MUTEX, owned))
    check(plain == 12, "no mutex under the plain name (probe: %s)" % plain)
    check(after_owned == 12, "the mutex is gone once the launcher has ended (probe: %s)" % after_owned)

    # --- the machine afterwards ------------------------------------------------------------
    after = snapshot(temp, {GUID, "record.txt"})
    check(after == before, "the temp directory's own mode bits and its other children are unchanged%s" % (
        "" if after == before else ": " + ", ".join(sorted(k for k in set(before) | set(after)
                                                          if before.get(k) != after.get(k)))))
    check(sorted(os.listdir(temp)) == sorted(["own folder", "note.txt", GUID]),
          "the temp directory holds nothing new but the work folder: %s" % sorted(os.listdir(temp)))
    folder_mode = os.stat(folder).st_mode & 0o777 if os.path.isdir(folder) else None
    check(folder_mode == 0o777, "the work folder is open to everyone (mode %s)" % (oct(folder_mode) if folder_mode else None))
    # Wine shows a file's DACL in its mode bits; the cabinet service marks programs
    # executable, so VOVore.cab is compared with the unpacked files that are not programs.
    cab_mode = os.stat(os.path.join(folder, "VOVore.cab")).st_mode & 0o777
    data_modes = {os.stat(os.path.join(b, n)).st_mode & 0o777 for b, _, ns in os.walk(folder) for n in ns
                  if not n.lower().endswith((".exe", ".cab"))}
    check(data_modes == {cab_mode} and not cab_mode & 0o002,
          "VOVore.cab is not itself granted: it has the unpacked files' mode (%s, %s)" % (oct(cab_mode), data_modes))
    check(filecmp.cmp(os.path.join(folder, "VOVore.cab"), payload, shallow=False), "VOVore.cab holds the payload")

    # The RunOnce value outlives the prefix's server: it is in the saved registry (a volatile
    # key is not saved), and a new server reads it back.
    subprocess.run([WINESERVER, "-w"], env=env)
    command = 'cmd /Q /C rd /S /Q "%s"' % folder_win
    escaped = command.replace("\\", "\\\\").replace('"', '\\"')
    saved = saved_runonce(prefix)
    check(saved.get(VALUE) == '"%s%s"' % (escaped, "\\0" * (len(command) + 1)),
          "user.reg holds the RunOnce value: the command and L + 2 zero characters (%s)" % (saved.get(VALUE, "none")[:60]))
    query = wine_runs.query_runonce(env, os.path.join(base, "query.txt"))
    check(command in query, "a new server reads the value back")

    # --- the launcher's own platform calls --------------------------------------------------
    lo, hi = image_range(launcher)
    with open(trace_path, errors="replace") as f:
        calls = own_calls(f.read(), lo, hi)
    names = [c[0] for c in calls]

    def all_of(fn):
        return [c for c in calls if c[0] == fn]

    def index(fn, pred=lambda c: True, start=0):
        return next((i for i, c in enumerate(calls) if i >= start and c[0] == fn and pred(c)), -1)

    check(len(calls) > 100, "the trace holds the launcher's calls (%d)" % len(calls))
    # The host turns the platform's error boxes off, keeping the flags already set; then the
    # start-up step's first call restricts library loading to the system directory.
    check(names[:3] == ["SetErrorMode", "SetErrorMode", "SetDefaultDllDirectories"] and calls[0][1] == [0] and
          calls[1][1] == [(calls[0][2] or 0) | 0x8001] and calls[2][1] == [0x800],
          "the error mode gets SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, then library loading is restricted "
          "to the system directory: %s" % (calls[:3],))
    wide = sorted(n for n in names if n.endswith("W") and n != "WriteFile")
    check(wide == ["GetTempPathW"], "no wide variant is called but the temp path's, once: %s" % wide)
    t = index("GetTempPathA")
    check(t >= 0 and names[t + 1:t + 3] == ["GetTempPathW", "MultiByteToWideChar"] and calls[t + 2][1][:2] == [0, 8] and
          calls[t + 2][1][3] == 0xFFFFFFFF,
          "the narrow temp path is read back against the wide one: GetTempPathW, then one conversion from the ANSI "
          "code page (CP_ACP, MB_ERR_INVALID_CHARS, the whole string): %s" % (calls[t:t + 3],))

    mutexes = all_of("CreateMutexA")
    check([c[1] for c in mutexes] == [[0, 1, MUTEX]], "one CreateMutexA: default security, owned, global name: %s" % (
        [c[1] for c in mutexes],))
    m = index("CreateMutexA")
    check(m >= 0 and names[m + 1:m + 2] == ["GetLastError"], "GetLastError read right after CreateMutexA")

    keys = all_of("RegCreateKeyExA")
    check(len(keys) == 1 and keys[0][1][:7] + keys[0][1][8:9] ==
          [0x80000001, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0, 0, 0, 0xF003F, 0, 0],
          "one RegCreateKeyExA: HKCU, the RunOnce path, no class, non-volatile, KEY_ALL_ACCESS, no security, "
          "no disposition: %s" % ([c[1] for c in keys],))
    sets = all_of("RegSetValueExA")
    check(len(sets) == 1 and sets[0][1][1:4] == [VALUE, 0, 1] and sets[0][1][5] == 2 * len(command) + 2,
          "one RegSetValueExA: the value name, REG_SZ, 2 * L + 2 bytes: %s" % ([c[1] for c in sets],))
    check(len(all_of("RegCloseKey")) == 1, "the key is closed once")

    made = [i for i, c in enumerate(calls) if c[0] == "CreateDirectoryA" and c[1][0] == folder_win]
    check(len(made) == 1 and calls[made[0]][1][1] == 0, "the work folder is made once, with default security")
    check(made and index("RegSetValueExA") < made[0], "the value is written before the folder is made")

    for fn, count in (("GetFileSecurityA", 4), ("SetFileSecurityA", 2)):
        got = all_of(fn)
        check(len(got) == count and all(c[1][0] == folder_win and c[1][1] == 4 for c in got),
              "%d %s calls, all on the work folder, DACL only: %s" % (count, fn, [c[1][:2] for c in got]))
    check([c[1][0].lower() for c in all_of("LoadLibraryA")] == [SYSTEM_ADVAPI.lower()] * 2,
          "the security library is loaded by its full system path, once per grant: %s" % (
              [c[1] for c in all_of("LoadLibraryA")],))
    check(sorted(c[1][1] for c in all_of("GetProcAddress") if c[1][1] in
                 ("SetSecurityDescriptorControl", "AddAccessAllowedAceEx")) ==
          ["AddAccessAllowedAceEx"] * 2 + ["SetSecurityDescriptorControl"] * 2, "both entry points resolved per grant")
    check([[c[1][1] & 0xFF] + c[1][2:10] for c in all_of("AllocateAndInitializeSid")] == [[1] + [0] * 8] * 2,
          "the grantee SID: one sub-authority, all zero, per grant")
    check([c[1][1] for c in all_of("InitializeSecurityDescriptor")] == [1, 1], "descriptor revision 1")
    check([c[1][2:4] for c in all_of("GetAclInformation")] == [[12, 2]] * 2,
          "the ACL size information of each grant: 12 bytes, AclSizeInformation")
    check(all(c[1][2] == 2 for c in all_of("InitializeAcl")) and len(all_of("InitializeAcl")) == 2, "ACL revision 2")
    check(all(c[1][1] == 2 and c[1][2] == 0xFFFFFFFF for c in all_of("AddAce")),
          "old entries are appended at the end: revision 2, MAXDWORD")
    check([c[1][1:4] for c in all_of("AddAccessAllowedAceEx")] == [[2, 3, 0x10000000]] * 2,
          "the new entry: revision 2, object and container inherit, GENERIC_ALL")
    check([c[1][1] for c in all_of("SetSecurityDescriptorDacl")] == [1, 1] and
          [c[1][3] for c in all_of("SetSecurityDescriptorDacl")] == [0, 0], "the DACL is present and not defaulted")

    finds = all_of("FindResourceA")
    check(len(finds) == 1 and finds[0][1][1:3] == [137, 5428], "the payload is looked up as name 137, type 5428")
    creates = all_of("CreateFileA")
    entry_win = folder_win + "\\RUZE_Derurerovo_Vozi.exe"
    check(len(creates) == 3 and creates[0][1][:3] + creates[0][1][4:7] == [cabinet_win, 0x40000000, 0, 2, 0x80, 0],
          "VOVore.cab is created once: write only, not shared, CREATE_ALWAYS, normal attributes: %s" % (
              [c[1] for c in creates],))
    # Two opens that only see whether a file another program may hold is free, each closed at
    # once: VOVore.cab as the cabinet service reads it, the entry program as process creation
    # opens it. An existing file only, no security, no template.
    check([c[1] for c in creates[1:]] == [[cabinet_win, 0x80000000, 3, 0, 3, 0x80, 0],
                                          [entry_win, 0x00100021, 5, 0, 3, 0x80, 0]],
          "the readiness opens: VOVore.cab GENERIC_READ sharing read and write, the entry program FILE_READ_DATA | "
          "FILE_EXECUTE | SYNCHRONIZE sharing read and delete, both OPEN_EXISTING: %s" % ([c[1] for c in creates[1:]],))
    ready = [i for i, c in enumerate(calls) if c[0] == "CreateFileA"][1:]
    check(len(ready) == 2 and all(calls[i + 1][0] == "CloseHandle" and calls[i + 1][1] == [calls[i][2]] for i in ready),
          "each readiness open is closed right after it")
    check(not all_of("Sleep") and not all_of("GetTickCount"), "nothing held: no wait, not even the clock read")
    writes = all_of("WriteFile")
    check(len(writes) == 1 and writes[0][1][2] == os.path.getsize(payload),
          "the payload goes to disk in one write of its whole size: %s" % ([c[1][2] for c in writes],))
    # Each service, then the library it resolves lazily by name, from the system directory
    # only, before the service is first used.
    extra = [c[1] for c in all_of("LoadLibraryExA")]
    check([(a[0].lower(), a[1], a[2]) for a in extra] == [("setupapi.dll", 0, 0x800), ("cabinet.dll", 0, 0x800),
                                                           ("shell32.dll", 0, 0x800), ("ole32.dll", 0, 0x800)],
          "the cabinet service, its decompressor, the shell and its component library are loaded in this order, "
          "from the system directory only: %s" % (extra,))
    iterate = index("SetupIterateCabinetA")
    check(-1 < index("LoadLibraryExA", lambda c: str(c[1][0]).lower() == "cabinet.dll") < iterate <
          index("LoadLibraryExA", lambda c: str(c[1][0]).lower() == "ole32.dll") < index("ShellExecuteExA"),
          "the decompressor is loaded before the iteration, the component library after it and before the launch")
    check(len(all_of("SetupIterateCabinetA")) == 1 and calls[iterate][1][0] == cabinet_win and
          calls[iterate][1][1] == 0 and calls[iterate][1][3] == 0,
          "one iteration over VOVore.cab: reserved 0, no context")
    handle = creates[0][2] if creates else None
    closed = index("CloseHandle", lambda c: c[1][0] == handle)
    check(handle is not None and -1 < closed < iterate and index("WriteFile") < closed,
          "the cabinet is written and closed before the iteration")
    during = [c for c in calls[iterate:] if c[0] == "CreateDirectoryA"]
    check(during and all(c[1][0].startswith(folder_win + "\\") and c[1][0].endswith("\\") and c[1][1] == 0
                         for c in during), "every folder the callback makes lies inside the work folder")
    check(len([c for c in calls[iterate:] if c[0] == "GetACP"]) >= 76,
          "the callback asks the platform for its code page, for each of the 76 entries")
    sized = [c[1] for c in calls[iterate:] if c[0] == "GetFileAttributesExA"]
    expected_sized = sorted(folder_win + "\\" + n.replace("/", "\\") for n in wine_runs.listing(tree))
    check(sorted(a[0] for a in sized) == expected_sized and all(a[1] == 0 for a in sized),
          "each of the 76 entries is checked on disk once, by its target in the work folder (standard "
          "information): %d checks" % len(sized))
    check(not all_of("WideCharToMultiByte") and not all_of("GetShortPathNameA"),
          "a temp path the code page holds is taken as it is: no short form, no conversion")
    second_grant = index("SetFileSecurityA", start=iterate)
    launch = index("ShellExecuteExA")
    wait = index("WaitForSingleObject")
    check(-1 < iterate < second_grant < launch < wait, "the second grant after the iteration, then the launch, "
          "then the wait (%d, %d, %d, %d)" % (iterate, second_grant, launch, wait))
    check(len(ready) == 2 and closed < ready[0] < iterate and second_grant < ready[1] < launch,
          "VOVore.cab is seen free after its close and before the iteration, the entry program after the second "
          "grant and before the launch: %s" % ready)
    check(len(all_of("ShellExecuteExA")) == 1, "one launch")
    check([c[1][1] for c in all_of("WaitForSingleObject")] == [0xFFFFFFFF], "one wait, without a time-out")
    mutex_handle = mutexes[0][2] if mutexes else None
    check(names[-1:] == ["CloseHandle"] and calls[-1][1] == [mutex_handle],
          "the last call closes the mutex (%s)" % (calls[-1:],))

    subprocess.run([WINESERVER, "-w"], env=env)
    print()
    print("%d failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

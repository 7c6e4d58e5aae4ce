#!/usr/bin/env python3
"""Tells, from a relay trace of the platform calls of one launcher run (WINEDEBUG=
+timestamp,+pid,+relay), from the sample installer's record and from what is on disk, what
the run did, in plain words."""
import argparse
import os
import re

GUID = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}"
RUNONCE = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
LINE = re.compile(r"^(?:(\d+\.\d+):)?([0-9a-f]{4}):([0-9a-f]{4}):(Call|Ret ) (\w+)\.(\w+)\((.*?)\)(?: retval=([0-9a-f]+))?")


def calls(trace):
    """The traced calls of the launcher's process (the one that asks for its mutex), in
    order: dicts with fn, args, ret, start and end times."""
    with open(trace, errors="replace") as f:
        parsed = [m for m in (LINE.match(line) for line in f) if m]
    launcher = next((m.group(2) for m in parsed
                     if m.group(4) == "Call" and m.group(6) == "CreateMutexA" and GUID in m.group(7)), None)
    out, pending = [], {}
    for m in parsed:
        if m.group(2) != launcher:
            continue
        key = (m.group(3), m.group(6))
        t = float(m.group(1)) if m.group(1) else 0.0
        if m.group(4) == "Call":
            pending.setdefault(key, []).append(len(out))
            out.append({"fn": m.group(6), "args": m.group(7), "ret": None, "start": t, "end": t})
        elif pending.get(key):
            c = out[pending[key].pop()]
            c["ret"] = int(m.group(8), 16)
            c["end"] = t
    return out


def quoted(args):
    m = re.search(r'"((?:[^"\\]|\\.)*)"', args)
    return m.group(1).replace("\\\\", "\\") if m else "?"


def unix_path(prefix, win):
    if win.upper().startswith("Z:"):
        return win[2:].replace("\\", "/")
    return os.path.join(prefix, "drive_" + win[0].lower(), *win[3:].split("\\"))


def read_record(path):
    fields = {}
    if os.path.exists(path):
        with open(path, errors="replace") as f:
            for line in f:
                key, _, value = line.rstrip("\r\n").partition("=")
                fields[key] = value
    return fields


def main():
    ap = argparse.ArgumentParser()
    for name in ("--trace", "--prefix", "--product", "--payload", "--record", "--cwd", "--launcher",
                 "--launcher-payload", "--wine", "--why"):
        ap.add_argument(name)
    ap.add_argument("--ran", choices=("product", "twin"))
    ap.add_argument("--exit-code", type=int)
    ap.add_argument("--seconds", type=float)
    ap.add_argument("--runonce", default="")
    ap.add_argument("--stub-size", type=int, default=0)
    a = ap.parse_args()
    seq = calls(a.trace)

    print("Web_Installer: the main job")
    print("  product  %s: %d bytes, of which the payload is %d (%s)" % (
        a.product, os.path.getsize(a.product), os.path.getsize(a.payload), os.path.basename(a.payload)))
    if a.stub_size:
        print("           without its payload the product is %d bytes" % a.stub_size)
    if a.ran == "product":
        print("  ran      the product itself, the very file above, under 32-bit Wine (%s)" % a.wine)
    else:
        print("  ran      its 64-bit twin %s under wine64 (%s), built from the same sources" % (a.launcher, a.wine))
        print("           with the same options; its payload is the same sample around the 64-bit build of")
        print("           the sample installer, %d bytes" % os.path.getsize(a.launcher_payload))
    print("  because  %s" % a.why)
    print("           in the throwaway prefix %s, from the current directory %s" % (a.prefix, a.cwd))
    print()
    print("What the run did, from a trace of its platform calls:")
    folder = None
    for i, c in enumerate(seq):
        fn, args, ret = c["fn"], c["args"], c["ret"]
        if fn == "GetVersionExA":
            print("  - read the platform's version record (%s)" % ("ok" if ret else "failed: Unclassified"))
        elif fn == "CreateMutexA":
            err = next((n["ret"] for n in seq[i + 1:i + 2] if n["fn"] == "GetLastError"), None)
            if not ret:
                print('  - could not create the single-instance mutex "%s": the run ends' % quoted(args))
            elif err == 183:
                print('  - found the mutex "%s" already there: another copy runs, so this one ends' % quoted(args))
            else:
                print('  - created and owns the single-instance mutex "%s"' % quoted(args))
        elif fn == "GetTempPathA":
            print("  - asked for the user's temp directory (%s)" % ("%d characters" % ret if ret else "failed"))
        elif fn == "RegSetValueExA":
            print('  - wrote the value "%s" under HKCU\\%s (%s)' % (quoted(args), RUNONCE, "ok" if ret == 0 else "error %d" % ret))
        elif fn == "CreateDirectoryA" and quoted(args).endswith(GUID):
            folder = quoted(args)
            print("  - created the work folder %s (%s)" % (folder, "made it" if ret else "it was already there"))
        elif fn == "WriteFile":
            size = int(args.split(",")[2], 16)
            print("  - wrote the payload to VOVore.cab in one write of %d bytes (%s)" % (size, "ok" if ret else "failed"))
        elif fn == "SetupIterateCabinetA":
            print("  - unpacked VOVore.cab through the platform's cabinet service in %.2f s (%s)" % (
                c["end"] - c["start"], "ok" if ret else "failed: the run ends"))
        elif fn == "ShellExecuteExA":
            print("  - started %s\\RUZE_Derurerovo_Vozi.exe through the shell (%s)" % (folder, "ok" if ret else "failed"))
        elif fn == "WaitForSingleObject" and args.endswith(",ffffffff"):
            print("  - waited for the installer to end: %.2f s" % (c["end"] - c["start"]))
        elif fn == "CloseHandle" and any(n["fn"] == "CreateMutexA" and n["ret"] == int(args, 16) for n in seq[:i]):
            print("  - closed the mutex in its exit step")
    print("  - ended with exit code %d after %.2f s in all" % (a.exit_code, a.seconds))

    record = read_record(unix_path(a.prefix, a.record))
    print()
    print("What the installer saw (its own record):")
    if record:
        print("  - program:           %s" % record.get("program", "?"))
        print("  - command line:      %s" % record.get("command_line", "?"))
        print("  - arguments:         %s" % (repr(record.get("arguments")) if record.get("arguments") else "(none: an empty string)"))
        print("  - current directory: %s (the launcher's, not the work folder)" % record.get("current_directory", "?"))
    else:
        print("  - nothing: the installer was not started")

    print()
    print("What the run left behind:")
    if folder:
        unix = unix_path(a.prefix, folder)
        files = []
        for root, dirs, names in os.walk(unix):
            dirs.sort()
            files += [os.path.join(root, n) for n in sorted(names)]
        entries = [f for f in files if os.path.relpath(f, unix) != "VOVore.cab"]
        print("  - the work folder %s" % folder)
        print("    (%s on this machine)" % unix)
        print("  - in it: VOVore.cab (%d bytes) and %d unpacked entries, %d bytes in all" % (
            os.path.getsize(os.path.join(unix, "VOVore.cab")) if os.path.exists(os.path.join(unix, "VOVore.cab")) else 0,
            len(entries), sum(os.path.getsize(f) for f in entries)))
        entry = os.path.join(unix, "RUZE_Derurerovo_Vozi.exe")
        print("  - the entry program RUZE_Derurerovo_Vozi.exe: %s" % (
            "%d bytes, at the root" % os.path.getsize(entry) if os.path.exists(entry) else "missing"))
        tops = sorted({os.path.relpath(f, unix).split(os.sep)[0] for f in entries if os.sep in os.path.relpath(f, unix)})
        for top in tops:
            n = sum(1 for f in entries if os.path.relpath(f, unix).startswith(top + os.sep))
            print("      %s\\  %d entries" % (top, n))
    print("  - the RunOnce value: %s" % (a.runonce if a.runonce else "(none)"))


if __name__ == "__main__":
    main()

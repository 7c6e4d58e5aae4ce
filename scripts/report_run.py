#!/usr/bin/env python3
"""Tells, from a relay trace of the platform calls of one launcher run, what the run did."""
import argparse
import os
import re

GUID = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}"
RUNONCE = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
# With +pid,+relay every line starts with the process and thread ids.
CALL = re.compile(r"^([0-9a-f]{4}):([0-9a-f]{4}):Call (\w+)\.(\w+)\((.*)\) ret=")
RET = re.compile(r"^([0-9a-f]{4}):([0-9a-f]{4}):Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+)")


def calls(trace):
    """Pairs each traced call of the launcher's process (the one that asks for its mutex)
    with its result, in order: (function, arguments, result)."""
    with open(trace, errors="replace") as f:
        lines = f.readlines()
    launcher = None
    for line in lines:
        m = CALL.match(line)
        if m and m.group(4) == "CreateMutexA" and GUID in m.group(5):
            launcher = m.group(1)
            break
    pending = {}
    out = []
    for line in lines:
        m = CALL.match(line)
        if m and m.group(1) == launcher:
            pending.setdefault((m.group(2), m.group(4)), []).append(len(out))
            out.append([m.group(4), m.group(5), None])
            continue
        m = RET.match(line)
        if m and m.group(1) == launcher and pending.get((m.group(2), m.group(4))):
            out[pending[(m.group(2), m.group(4))].pop()][2] = int(m.group(5), 16)
    return out


def quoted(args):
    m = re.search(r'"((?:[^"\\]|\\.)*)"', args)
    return m.group(1).replace("\\\\", "\\") if m else "?"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--trace")
    ap.add_argument("--exit-code", type=int)
    ap.add_argument("--seconds", type=float)
    ap.add_argument("--prefix")
    ap.add_argument("--product")
    ap.add_argument("--twin")
    ap.add_argument("--payload")
    ap.add_argument("--runonce", default="")
    a = ap.parse_args()
    seq = calls(a.trace)

    print("Web_Installer: the main job")
    print("  product  %s, %d bytes, with a payload of %d bytes (%s)" % (
        a.product, os.path.getsize(a.product), os.path.getsize(a.payload), a.payload))
    print("  twin     %s, run under wine64 in the throwaway prefix %s" % (a.twin, a.prefix))
    print()
    print("What the run did:")
    for i, (fn, args, ret) in enumerate(seq):
        if fn == "GetVersionExA":
            print("  - read the platform's version record (%s)" % ("ok" if ret else "failed: Unclassified"))
        elif fn == "CreateMutexA":
            err = next((r for f, _, r in seq[i + 1:i + 2] if f == "GetLastError"), None)
            name = quoted(args)
            if not ret:
                print('  - could not create the single-instance mutex "%s": the run ends' % name)
            elif err == 183:
                print('  - found the single-instance mutex "%s" already there: another copy runs, so this one ends' % name)
            else:
                print('  - created and now owns the single-instance mutex "%s" (handle 0x%x)' % (name, ret))
        elif fn == "GetTempPathA":
            print("  - asked for the user's temp directory (%s)" % ("%d characters" % ret if ret else "failed"))
        elif fn == "RegSetValueExA":
            print('  - wrote the value "%s" under HKCU\\%s (%s)' % (quoted(args), RUNONCE, "ok" if ret == 0 else "error %d" % ret))
        elif fn == "CreateDirectoryA" and GUID in args and quoted(args).endswith(GUID):
            err = "made it" if ret else "it was already there, or could not be made"
            print("  - created the work folder %s (%s)" % (quoted(args), err))
        elif fn == "CloseHandle" and any(f == "CreateMutexA" and r == int(args, 16) for f, _, r in seq[:i]):
            print("  - closed the mutex in its exit step")
    print("  - ended with exit code %d after %.2f s" % (a.exit_code, a.seconds))
    print()
    print("What it left behind:")
    folders = [quoted(args) for fn, args, _ in seq if fn == "CreateDirectoryA" and quoted(args).endswith(GUID)]
    if folders:
        win = folders[0]
        unix = os.path.join(a.prefix, "drive_" + win[0].lower(), *win[3:].split("\\"))
        print("  - the work folder %s (%s on this machine): %s" % (
            win, unix, "present" if os.path.isdir(unix) else "absent"))
        if os.path.isdir(unix):
            for root, dirs, files in os.walk(unix):
                dirs.sort()
                for name in sorted(files):
                    full = os.path.join(root, name)
                    print("      %s  %d bytes" % (os.path.relpath(full, unix), os.path.getsize(full)))
    print("  - the RunOnce value: %s" % (a.runonce if a.runonce else "(none)"))


if __name__ == "__main__":
    main()

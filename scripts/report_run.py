#!/usr/bin/env python3
"""Tells, from a relay trace of the platform calls of one launcher run, what the run did."""
import argparse
import os
import re

CALL = re.compile(r"^([0-9a-f]{4}):Call (\w+)\.(\w+)\((.*)\) ret=")
RET = re.compile(r"^([0-9a-f]{4}):Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+)")


def calls(trace):
    """Pairs each traced call with its result, in order: (function, arguments, result)."""
    pending = {}
    out = []
    with open(trace, errors="replace") as f:
        for line in f:
            m = CALL.match(line)
            if m:
                pending.setdefault((m.group(1), m.group(3)), []).append(len(out))
                out.append([m.group(3), m.group(4), None])
                continue
            m = RET.match(line)
            if m and pending.get((m.group(1), m.group(3))):
                out[pending[(m.group(1), m.group(3))].pop()][2] = int(m.group(4), 16)
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
        elif fn == "CloseHandle" and any(f == "CreateMutexA" and r == int(args, 16) for f, _, r in seq[:i]):
            print("  - closed the mutex in its exit step")
    print("  - ended with exit code %d after %.2f s" % (a.exit_code, a.seconds))


if __name__ == "__main__":
    main()

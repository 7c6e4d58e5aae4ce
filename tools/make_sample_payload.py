#!/usr/bin/env python3
"""Builds a sample payload shaped like the product's installation set, the same bytes every
time: 76 entries in the stored order (the entry program first, at the root; "InstData" with
41 entries; "language" with 34), one MSZIP folder, plain ASCII names, the longest exactly 89
characters.

  make_sample_payload.py --size small|full --cab OUT.cab --tree DIR [--installer EXE]

small is for tests and the main job (a few hundred KB); full is about 136 MB of cabinet for
about 144 MB unpacked, mostly incompressible like real installation sets (for benchmarks).
The tree is left in DIR, as the source of every entry, for tests to compare against.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys

ENTRY_PROGRAM = "RUZE_Derurerovo_Vozi.exe"
RUNTIME_GUID = "{7C2A1E94-0B6D-4E38-A5F1-3D8C9B2E6F40}"
SETTINGS_IDS = ["0401", "0402", "0404", "0405", "0406", "0407", "0408", "0409", "040B", "040C", "040D",
                "040E", "0410", "0411", "0412", "0413", "0414", "0415", "0416", "0418", "0419", "041A",
                "041B", "041D", "041E", "041F", "0424", "0804", "0816"]
LANGUAGE_CODES = ["ar", "bg", "cs", "da", "de", "el", "en", "es", "et", "fi", "fr", "he", "hr", "hu", "it",
                  "ja", "ko", "lt", "lv", "nl", "no", "pl", "pt", "ro", "ru", "sk", "sl", "sr", "sv", "th",
                  "tr", "uk", "zh", "tw"]
FIXED_TIME = 1577836800  # 2020-01-01 00:00:00 UTC: every entry gets the same date
KB = 1024
MB = 1024 * 1024

# (stored name, content kind, small size, full size). Kinds: "random" is incompressible,
# "text" compresses like settings and scripts, "program" is the entry program.
def layout():
    entries = [(ENTRY_PROGRAM, "program", 0, 0)]
    entries += [("InstData\\%s.ini" % i, "text", 300, 6 * KB) for i in SETTINGS_IDS]
    entries += [
        ("InstData\\engine.exe", "random", 24 * KB, 1 * MB),
        ("InstData\\engine.dll", "random", 32 * KB, 3 * MB),
        ("InstData\\engine.ini", "text", 2 * KB, 64 * KB),
        ("InstData\\setup.inx", "text", 8 * KB, 3 * MB),
        ("InstData\\layout.bin", "text", 4 * KB, 3584 * KB),
        ("InstData\\data1.cab", "random", 64 * KB, 58 * MB),
        ("InstData\\data2.cab", "random", 48 * KB, 36 * MB),
        ("InstData\\data1.hdr", "text", 4 * KB, 2 * MB),
        ("InstData\\Prerequisites\\runtime.prq", "text", 1 * KB, 4 * KB),
        ("InstData\\Prerequisites\\%s\\Runtime_Redistributable.exe" % RUNTIME_GUID, "random", 16 * KB, 6 * MB),
        ("InstData\\DbEngine32\\dbengine_x86.msi", "random", 16 * KB, 11 * MB),
        ("InstData\\DbEngine64\\dbengine_x64.msi", "random", 16 * KB, 13 * MB),
    ]
    entries += [("language\\setup.%s" % code, "text", 200, 2 * KB) for code in LANGUAGE_CODES]
    return entries


def content(name, kind, size):
    seed = hashlib.sha256(name.encode()).digest()
    if kind == "random":
        return hashlib.shake_256(b"sample-payload" + seed).digest(size)
    # Text: lines of settings, different enough to keep MSZIP from folding them away.
    words = hashlib.shake_256(seed).hexdigest(max(64, size // 4))
    lines = []
    total = 0
    i = 0
    while total < size:
        line = "Key%05d=%s ; %s\r\n" % (i, words[(i * 7) % (len(words) - 24):][:24], name)
        lines.append(line)
        total += len(line)
        i += 1
    return "".join(lines).encode("ascii")[:size]


def check_shape(entries):
    names = [e[0] for e in entries]
    depth = [n.count("\\") for n in names]
    assert len(names) == 76, len(names)
    assert names[0] == ENTRY_PROGRAM and depth[0] == 0
    assert sum(1 for n in names if n.startswith("InstData\\")) == 41
    assert sum(1 for n in names if n.startswith("language\\")) == 34
    assert (depth.count(0), depth.count(1), depth.count(2), depth.count(3)) == (1, 71, 3, 1), depth
    assert max(len(n) for n in names) == 89, max(len(n) for n in names)
    assert all(n.isascii() for n in names)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", choices=["small", "full"], default="small")
    ap.add_argument("--cab", required=True)
    ap.add_argument("--tree", required=True)
    ap.add_argument("--installer", help="the entry program; without one, placeholder bytes stand in")
    a = ap.parse_args()

    entries = layout()
    check_shape(entries)
    if os.path.exists(a.tree):
        shutil.rmtree(a.tree)
    relative = []
    for name, kind, small, full in entries:
        path = os.path.join(a.tree, *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if kind == "program":
            if a.installer:
                with open(a.installer, "rb") as f:
                    data = f.read()
            else:
                data = b"MZ" + content(name, "random", 4 * KB - 2)
        else:
            data = content(name, kind, small if a.size == "small" else full)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (FIXED_TIME, FIXED_TIME))
        relative.append(name.replace("\\", "/"))

    os.makedirs(os.path.dirname(os.path.abspath(a.cab)), exist_ok=True)
    tmp = a.cab + ".tmp"
    env = dict(os.environ, TZ="UTC")
    subprocess.run(["gcab", "--create", "--zip", os.path.abspath(tmp)] + relative,
                   cwd=a.tree, env=env, check=True)
    os.replace(tmp, a.cab)
    print("sample payload (%s): %s, %d bytes, 76 entries, %d bytes unpacked" % (
        a.size, a.cab, os.path.getsize(a.cab), sum(os.path.getsize(os.path.join(a.tree, *e[0].split("\\"))) for e in entries)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

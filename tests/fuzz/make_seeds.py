#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into tests/fuzz/corpus (committed; rerun to
make them anew). Crashes found by scripts/fuzz.sh are added beside them as regression cases."""
import os
import subprocess
import tempfile

here = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    with open(os.path.join(here, "corpus", target, name), "wb") as f:
        f.write(data)


# Code page byte, root length byte, then stored names separated by newlines.
put("cabinet_decision", "sample-names", b"\x00\x20" + b"\n".join([
    b"RUZE_Derurerovo_Vozi.exe", b"InstData\\0409.ini", b"InstData\\Prerequisites\\runtime.prq",
    b"InstData\\Prerequisites\\{7C2A1E94-0B6D-4E38-A5F1-3D8C9B2E6F40}\\Runtime_Redistributable.exe",
    b"language\\setup.de"]))
put("cabinet_decision", "escaping-names", b"\x00\x05" + b"\n".join([b"a.txt", b"..\\x", b"b.txt"]))
put("cabinet_decision", "double-byte", b"\x01\x10" + b"\x95\x5c\\a.txt\n\x95\x5c..\n\x81")
put("cabinet_decision", "long-root", b"\x00\xa9" + b"d\\" + b"n" * 87)
# type, flags, length, body (0xEE: an Everyone SID at the SID's place).
put("dacl_merge", "mixed-list", bytes([
    0, 0, 8, 0xA9, 0, 0x12, 0, 0xEE, 0, 0, 0,
    0, 0, 5, 0x89, 0, 0x12, 0, 0xEE,
    0, 0x13, 16, 0xFF, 1, 0x1F, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,
    0, 0x10, 5, 0xFF, 1, 0x1F, 0, 0xEE]))
put("dacl_merge", "short-aces", bytes([1, 0, 3, 0, 0, 0, 0, 0, 6, 1, 2, 3, 4, 0xEE, 1]))
with tempfile.TemporaryDirectory() as tmp:
    for name, data in (("RUZE_Derurerovo_Vozi.exe", b"MZ" + bytes(200)), ("InstData/a.ini", b"[a]\r\nb=c\r\n" * 20),
                       ("InstData/Sub/deep.bin", bytes(range(256)) * 3), ("language/setup.de", b"de")):
        path = os.path.join(tmp, "tree", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    cab = os.path.join(tmp, "seed.cab")
    subprocess.run(["gcab", "-c", "-z", cab, "RUZE_Derurerovo_Vozi.exe", "InstData/a.ini", "InstData/Sub/deep.bin",
                    "language/setup.de"], cwd=os.path.join(tmp, "tree"), check=True, env=dict(os.environ, TZ="UTC"))
    with open(cab, "rb") as f:
        put("payload_check", "small-mszip.cab", f.read())
    stored = os.path.join(tmp, "stored.cab")
    subprocess.run(["gcab", "-c", stored, "RUZE_Derurerovo_Vozi.exe", "InstData/a.ini"], cwd=os.path.join(tmp, "tree"),
                   check=True, env=dict(os.environ, TZ="UTC"))
    with open(stored, "rb") as f:
        put("payload_check", "small-stored.cab", f.read())
put("payload_check", "not-a-cabinet", b"PK\x03\x04 not a cabinet")

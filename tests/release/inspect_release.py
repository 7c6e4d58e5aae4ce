#!/usr/bin/python3
"""Inspects the product image: format, subsystem, resources, imports.

usage: inspect_release.py IMAGE PAYLOAD WINE_DLL_DIR OBJECT_LIB...
"""
import os
import subprocess
import sys

import pefile

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "shell32.dll", "setupapi.dll", "msvcrt.dll", "user32.dll"}
RT_ICON_GROUP = 14
RT_MANIFEST = 24
PAYLOAD_TYPE, PAYLOAD_NAME, PAYLOAD_LANG = 5428, 137, 1041
ICON_GROUP_NAME = 138
# Wide calls that the static runtime itself makes (its locale helpers); the launcher's own
# code is checked separately, object by object, and may import no wide variant at all.
RUNTIME_WIDE_IMPORTS = {"GetModuleHandleW"}

failures = []


def check(ok, what):
    print(("ok      " if ok else "FAILED  ") + what)
    if not ok:
        failures.append(what)


def resources(pe):
    found = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                found[(rtype.id, name.id, lang.id)] = lang.data.struct
    return found


def exports_of(dll_dir, dll):
    path = os.path.join(dll_dir, dll.lower())
    if not os.path.exists(path):
        return set()
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    if not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        return set()
    return {e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name}


def main():
    image, payload_path, dll_dir, libs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    pe = pefile.PE(image)
    check(pe.FILE_HEADER.Machine == 0x14C, "machine is i386")
    check(pe.OPTIONAL_HEADER.Magic == 0x10B, "PE32 (32-bit) optional header")
    check(pe.OPTIONAL_HEADER.Subsystem == 2, "GUI subsystem: no console window")
    check(pe.FILE_HEADER.TimeDateStamp == 0, "no link timestamp")
    check(not hasattr(pe, "DIRECTORY_ENTRY_DEBUG"), "no debug directory")
    check(pe.FILE_HEADER.PointerToSymbolTable == 0 and pe.FILE_HEADER.NumberOfSymbols == 0, "stripped")

    res = resources(pe)
    check(not any(t == RT_MANIFEST for (t, _, _) in res), "no application manifest")
    check(any(t == RT_ICON_GROUP and n == ICON_GROUP_NAME for (t, n, _) in res), "icon group 138 present")
    payload_entries = [k for k in res if k[0] == PAYLOAD_TYPE and k[1] == PAYLOAD_NAME]
    check(payload_entries == [(PAYLOAD_TYPE, PAYLOAD_NAME, PAYLOAD_LANG)], "payload 5428/137 stored once, language 1041")
    if payload_entries:
        entry = res[payload_entries[0]]
        data = pe.get_data(entry.OffsetToData, entry.Size)
        with open(payload_path, "rb") as f:
            expected = f.read()
        check(data == expected, "payload resource holds exactly the bytes of %s (%d bytes)" % (payload_path, len(expected)))

    dlls = {}
    for imp in pe.DIRECTORY_ENTRY_IMPORT:
        dlls[imp.dll.decode().lower()] = [i.name.decode() for i in imp.imports if i.name]
    print("imports: " + ", ".join(sorted(dlls)))
    check(set(dlls) <= SYSTEM_DLLS, "imports come from system DLLs only")
    check(not any(d.startswith(("libgcc", "libstdc++", "libwinpthread")) for d in dlls), "no runtime DLLs")
    wide = []
    for dll, names in dlls.items():
        exports = exports_of(dll_dir, dll)
        wide += ["%s!%s" % (dll, n) for n in names if n.endswith("W") and n[:-1] + "A" in exports]
    unexpected = [w for w in wide if w.split("!")[1] not in RUNTIME_WIDE_IMPORTS]
    check(not unexpected, "narrow variants only (wide imports beyond the runtime's: %s)" % (unexpected or "none"))

    own_wide = []
    platform_calls = set()
    all_exports = set()
    for dll in SYSTEM_DLLS:
        all_exports |= exports_of(dll_dir, dll)
    for lib in libs:
        out = subprocess.run(["i686-w64-mingw32-nm", "-u", lib], capture_output=True, text=True, check=True).stdout
        # Platform calls appear as _Name@N (i686 stdcall), or __imp__Name@N when called
        # through the import table.
        for line in out.split():
            if "@" not in line:
                continue
            name = line.split("@")[0]
            name = name[len("__imp__"):] if name.startswith("__imp__") else name.lstrip("_")
            platform_calls.add(name)
            if name.endswith("W") and name[:-1] + "A" in all_exports:
                own_wide.append("%s:%s" % (os.path.basename(lib), name))
    check("CreateMutexA" in platform_calls, "found the launcher's platform calls (%d)" % len(platform_calls))
    check(not own_wide, "the launcher's own code calls no wide variant (%s)" % (own_wide or "none"))

    print("image size: %d bytes" % os.path.getsize(image))
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

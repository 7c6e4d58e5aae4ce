#!/usr/bin/python3
"""Inspects the product image: format, subsystem, resources, imports, the runtime's text.

usage: inspect_release.py IMAGE PAYLOAD WINE_DLL_DIR SECURITY_MD OBJECT_LIB...

WI_EXPECT_VERSION is the version the image must carry in its version resource (language
1041); empty or unset, the image must carry none.

The DLLs the image may import, and must import, are the ones SECURITY.md lists in its table
of imported DLLs; the document and the image cannot drift apart.
"""
import os
import re
import subprocess
import sys

import pefile

from scratch_tree import resources

# The launcher's own advapi32 calls, and the only ones the image may import (the static
# runtime calls none): the RunOnce writer's (registry_api.cpp) and the access grant's
# (security_api.cpp). SetSecurityDescriptorControl and AddAccessAllowedAceEx are resolved
# by name at run time and so are not imported.
ADVAPI32_IMPORTS = {
    "RegCreateKeyExA", "RegSetValueExA", "RegCloseKey",
    "AllocateAndInitializeSid", "FreeSid", "GetFileSecurityA", "SetFileSecurityA", "InitializeSecurityDescriptor",
    "GetSecurityDescriptorDacl", "SetSecurityDescriptorDacl", "GetSecurityDescriptorControl", "GetAclInformation",
    "GetLengthSid", "InitializeAcl", "GetAce", "AddAce", "EqualSid",
}
# Libraries that come in at run time, never imported (the cabinet service and the shell, which
# the launcher loads, and the window manager, which the shell brings): their exports count for
# the check that the launcher's own code calls no wide variant.
LOADED_AT_RUN_TIME = {"shell32.dll", "setupapi.dll", "user32.dll"}
# What the runtime's default terminate handler prints; the launcher replaces that handler
# with a quiet one, so none of it may be in the image.
VERBOSE_TERMINATE_TEXTS = [b"terminate called after throwing", b"terminate called recursively",
                           b"terminate called without an active exception", b"  what():  "]
RT_ICON_GROUP = 14
RT_MANIFEST = 24
RT_VERSION = 16
PAYLOAD_TYPE, PAYLOAD_NAME, PAYLOAD_LANG = 5428, 137, 1041
ICON_GROUP_NAME = 138
# Wide calls that the static runtime itself makes (its locale helpers); the launcher's own
# code is checked separately, object by object, and may import no wide variant at all.
RUNTIME_WIDE_IMPORTS = {"GetModuleHandleW"}
# The launcher's only wide calls: the temp directory's wide path and its short form, asked
# for only when the narrow temp path holds a character the ANSI code page could not hold.
OWN_WIDE_CALLS = {"GetTempPathW", "GetShortPathNameW"}

failures = []


def check(ok, what):
    print(("ok      " if ok else "FAILED  ") + what)
    if not ok:
        failures.append(what)


def exports_of(dll_dir, dll):
    path = os.path.join(dll_dir, dll.lower())
    if not os.path.exists(path):
        return set()
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    if not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        return set()
    return {e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name}


def documented_imports(security_md):
    """The DLL names of the first column of SECURITY.md's table headed "imported DLL"."""
    names = []
    in_table = False
    with open(security_md, encoding="utf-8") as f:
        for line in f:
            cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.strip().startswith("|") else None
            if cells is None:
                if in_table:
                    break
                continue
            if not in_table:
                in_table = cells[0].lower() == "imported dll"
                continue
            if not re.fullmatch(r"-+", cells[0]):
                names.append(cells[0].strip("`").lower())
    return names


def main():
    image, payload_path, dll_dir, security_md, libs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
    documented = set(documented_imports(security_md))
    check("kernel32.dll" in documented and all(re.fullmatch(r"[a-z0-9_]+\.dll", d) for d in documented),
          "%s lists the imported DLLs: %s" % (os.path.basename(security_md), ", ".join(sorted(documented)) or "none"))
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
    versions = [k for k in res if k[0] == RT_VERSION]
    expected_version = os.environ.get("WI_EXPECT_VERSION", "")
    if not expected_version:
        check(not versions, "no version resource (none was asked for)")
    else:
        found = {}
        for info in getattr(pe, "FileInfo", [[]])[0]:
            for table in getattr(info, "StringTable", []):
                found[table.LangID] = table.entries.get(b"FileVersion", b"").decode("utf-8", "replace")
        check(versions == [(RT_VERSION, 1, PAYLOAD_LANG)] and found == {b"041104B0": expected_version},
              "one version resource, language 1041, Japanese strings of version %s (found: %s, %s)" % (
                  expected_version, versions, found))
    payload_entries = [k for k in res if k[0] == PAYLOAD_TYPE and k[1] == PAYLOAD_NAME]
    check(payload_entries == [(PAYLOAD_TYPE, PAYLOAD_NAME, PAYLOAD_LANG)], "payload 5428/137 stored once, language 1041")
    if payload_entries:
        data = res[payload_entries[0]]
        with open(payload_path, "rb") as f:
            expected = f.read()
        check(data == expected, "payload resource holds exactly the bytes of %s (%d bytes)" % (payload_path, len(expected)))

    dlls = {}
    for imp in pe.DIRECTORY_ENTRY_IMPORT:
        dlls[imp.dll.decode().lower()] = [i.name.decode() for i in imp.imports if i.name]
    print("imports: " + ", ".join(sorted(dlls)))
    extra, missing = sorted(set(dlls) - documented), sorted(documented - set(dlls))
    check(not extra and not missing, "imports exactly the DLLs SECURITY.md lists (not listed: %s; not imported: %s)" % (
        ", ".join(extra) or "none", ", ".join(missing) or "none"))
    check(not any(d.startswith(("libgcc", "libstdc++", "libwinpthread")) for d in dlls), "no runtime DLLs")
    advapi = set(dlls.get("advapi32.dll", []))
    check(advapi == ADVAPI32_IMPORTS, "imports the pinned advapi32 functions only (new: %s; gone: %s)" % (
        ", ".join(sorted(advapi - ADVAPI32_IMPORTS)) or "none", ", ".join(sorted(ADVAPI32_IMPORTS - advapi)) or "none"))
    wide = []
    for dll, names in dlls.items():
        exports = exports_of(dll_dir, dll)
        wide += ["%s!%s" % (dll, n) for n in names if n.endswith("W") and n[:-1] + "A" in exports]
    unexpected = [w for w in wide if w.split("!")[1] not in RUNTIME_WIDE_IMPORTS | OWN_WIDE_CALLS]
    check(not unexpected, "narrow variants only (wide imports beyond the runtime's: %s)" % (unexpected or "none"))

    own_wide = []
    platform_calls = set()
    all_exports = set()
    for dll in documented | LOADED_AT_RUN_TIME:
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
            if name.endswith("W") and name[:-1] + "A" in all_exports and name not in OWN_WIDE_CALLS:
                own_wide.append("%s:%s" % (os.path.basename(lib), name))
    check("CreateMutexA" in platform_calls, "found the launcher's platform calls (%d)" % len(platform_calls))
    check(not own_wide, "the launcher's own code calls no wide variant but %s (others: %s)" % (
        ", ".join(sorted(OWN_WIDE_CALLS)), own_wide or "none"))
    check(OWN_WIDE_CALLS <= platform_calls, "the short-form path's wide calls are in the launcher's code (missing: %s)" % (
        sorted(OWN_WIDE_CALLS - platform_calls) or "none"))
    not_own = sorted(advapi - platform_calls)
    check(not not_own, "every advapi32 import is a call of the launcher's own code (others: %s)" % (
        ", ".join(not_own) or "none"))

    with open(image, "rb") as f:
        raw = f.read()
    verbose = [t.decode() for t in VERBOSE_TERMINATE_TEXTS if t in raw]
    check(not verbose, "none of the runtime's verbose terminate-handler text (found: %s)" % (verbose or "none"))

    print("image size: %d bytes" % os.path.getsize(image))
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

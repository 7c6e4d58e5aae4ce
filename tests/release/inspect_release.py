"""Inspects the product image: format, subsystem, resources, imports, the runtime's text.
Each check is a test of its own.

The DLLs the image may import, and must import, are the ones SECURITY.md lists in its table
of imported DLLs; the document and the image cannot drift apart. WI_EXPECT_VERSION is the
version the image must carry in its version resource (language 1041); empty or unset, the
image must carry none.

Options: --image --payload --wine-dlls --security-md --object-lib ... (see conftest.py)
"""
import os
import re
import subprocess
from types import SimpleNamespace

import pefile
import pytest

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
# The launcher's only wide calls: the temp directory's wide path, which the narrow one is read
# back against on every run, and its short form, asked for only when the narrow path does not
# read back (a character the ANSI code page lacks, handed out as '?' or a look-alike).
OWN_WIDE_CALLS = {"GetTempPathW", "GetShortPathNameW"}


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


@pytest.fixture(scope="module")
def image(product):
    """The image, read once: its headers, resources, imports, and its bytes."""
    pe = pefile.PE(product.image)
    i = SimpleNamespace(product=product, pe=pe, res=resources(pe), documented=set(documented_imports(product.security_md)))
    i.dlls = {imp.dll.decode().lower(): [n.name.decode() for n in imp.imports if n.name] for imp in pe.DIRECTORY_ENTRY_IMPORT}
    i.advapi = set(i.dlls.get("advapi32.dll", []))
    with open(product.image, "rb") as f:
        i.raw = f.read()
    print("imports: %s; image size: %d bytes" % (", ".join(sorted(i.dlls)), len(i.raw)))
    return i


def own_calls(image):
    """The platform calls of the launcher's own code, from its static libraries: _Name@N (i686
    stdcall), or __imp__Name@N when called through the import table."""
    calls = set()
    for lib in image.product.object_lib:
        out = subprocess.run(["i686-w64-mingw32-nm", "-u", lib], capture_output=True, text=True, check=True).stdout
        for symbol in out.split():
            if "@" in symbol:
                name = symbol.split("@")[0]
                calls.add(name[len("__imp__"):] if name.startswith("__imp__") else name.lstrip("_"))
    return calls


def test_security_md_lists_the_imported_dlls(image):
    assert "kernel32.dll" in image.documented and all(re.fullmatch(r"[a-z0-9_]+\.dll", d) for d in image.documented), (
        sorted(image.documented))


FORMAT = [
    ("machine i386", lambda pe: pe.FILE_HEADER.Machine, 0x14C),
    ("a PE32 (32-bit) optional header", lambda pe: pe.OPTIONAL_HEADER.Magic, 0x10B),
    ("the GUI subsystem: no console window", lambda pe: pe.OPTIONAL_HEADER.Subsystem, 2),
    ("no link timestamp", lambda pe: pe.FILE_HEADER.TimeDateStamp, 0),
    ("no debug directory", lambda pe: hasattr(pe, "DIRECTORY_ENTRY_DEBUG"), False),
    ("stripped", lambda pe: (pe.FILE_HEADER.PointerToSymbolTable, pe.FILE_HEADER.NumberOfSymbols), (0, 0)),
]


@pytest.mark.parametrize("what, read, expected", FORMAT, ids=[f[0] for f in FORMAT])
def test_the_image_format(image, what, read, expected):
    assert read(image.pe) == expected, what


def test_no_application_manifest(image):
    assert not any(t == RT_MANIFEST for (t, _, _) in image.res)


def test_icon_group_138_is_there(image):
    assert any(t == RT_ICON_GROUP and n == ICON_GROUP_NAME for (t, n, _) in image.res)


def test_the_version_resource_is_the_one_asked_for(image):
    versions = [k for k in image.res if k[0] == RT_VERSION]
    expected_version = os.environ.get("WI_EXPECT_VERSION", "")
    if not expected_version:
        assert not versions, "a version resource, though none was asked for"
        return
    found = {}
    for info in getattr(image.pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            found[table.LangID] = table.entries.get(b"FileVersion", b"").decode("utf-8", "replace")
    assert versions == [(RT_VERSION, 1, PAYLOAD_LANG)] and found == {b"041104B0": expected_version}, (versions, found)


def test_the_payload_is_stored_once_in_language_1041_with_exactly_the_cabinets_bytes(image):
    entries = [k for k in image.res if k[0] == PAYLOAD_TYPE and k[1] == PAYLOAD_NAME]
    assert entries == [(PAYLOAD_TYPE, PAYLOAD_NAME, PAYLOAD_LANG)]
    with open(image.product.payload, "rb") as f:
        expected = f.read()
    assert image.res[entries[0]] == expected, "the payload resource is not the bytes of %s (%d bytes)" % (
        image.product.payload, len(expected))


def test_it_imports_exactly_the_dlls_security_md_lists(image):
    extra, missing = sorted(set(image.dlls) - image.documented), sorted(image.documented - set(image.dlls))
    assert not extra and not missing, "not listed: %s; not imported: %s" % (extra, missing)


def test_no_runtime_dlls(image):
    assert not any(d.startswith(("libgcc", "libstdc++", "libwinpthread")) for d in image.dlls)


def test_it_imports_the_pinned_advapi32_functions_only(image):
    assert image.advapi == ADVAPI32_IMPORTS, "new: %s; gone: %s" % (
        sorted(image.advapi - ADVAPI32_IMPORTS), sorted(ADVAPI32_IMPORTS - image.advapi))


def test_narrow_variants_only_beyond_the_runtimes_and_the_temp_paths(image):
    wide = []
    for dll, names in image.dlls.items():
        exports = exports_of(image.product.wine_dlls, dll)
        wide += ["%s!%s" % (dll, n) for n in names if n.endswith("W") and n[:-1] + "A" in exports]
    assert not [w for w in wide if w.split("!")[1] not in RUNTIME_WIDE_IMPORTS | OWN_WIDE_CALLS], wide


def test_the_launchers_own_code_calls_no_wide_variant_but_the_temp_paths(image):
    calls = own_calls(image)
    assert "CreateMutexA" in calls, "the launcher's platform calls were not found (%d)" % len(calls)
    all_exports = set()
    for dll in image.documented | LOADED_AT_RUN_TIME:
        all_exports |= exports_of(image.product.wine_dlls, dll)
    own_wide = sorted(n for n in calls if n.endswith("W") and n[:-1] + "A" in all_exports and n not in OWN_WIDE_CALLS)
    assert not own_wide, own_wide
    assert OWN_WIDE_CALLS <= calls, "missing: %s" % sorted(OWN_WIDE_CALLS - calls)


def test_every_advapi32_import_is_a_call_of_the_launchers_own_code(image):
    assert not sorted(image.advapi - own_calls(image))


def test_none_of_the_runtimes_verbose_terminate_text(image):
    assert not [t.decode() for t in VERBOSE_TERMINATE_TEXTS if t in image.raw]

"""Scratch release trees for the shipping tests: configured from the sources with settings of
their own, built, and read back; and the images' resources, which the inspection reads too."""
import os
import subprocess

import pefile

PAYLOAD_TYPE, PAYLOAD_NAME = 5428, 137
RT_VERSION = 16


def configure(source, tree, **settings):
    """Configures (or configures again) `tree` as a release tree with `settings` (cache
    variables; None removes one). Returns (exit code, output)."""
    command = ["cmake", "-S", source, "-B", tree, "-G", "Unix Makefiles",
               "--toolchain", os.path.join(source, "cmake", "mingw-i686.cmake"),
               "-DWEB_INSTALLER_FLAVOUR=release", "-DCMAKE_BUILD_TYPE=Release"]
    for name, value in settings.items():
        command += ["-U", name] if value is None else ["-D%s=%s" % (name, value)]
    r = subprocess.run(command, capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def build(tree, verbose=False):
    r = subprocess.run(["cmake", "--build", tree, "-j2"] + (["--verbose"] if verbose else []),
                       capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def resources(pe):
    """Every resource of `pe`, by (type, name, language): its bytes."""
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                found[(rtype.id, name.id, lang.id)] = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
    return found


def payload_of(image):
    """The bytes of resource 5428/137 in `image` (None when there is none)."""
    for (rtype, name, _), data in resources(pefile.PE(image)).items():
        if (rtype, name) == (PAYLOAD_TYPE, PAYLOAD_NAME):
            return data
    return None

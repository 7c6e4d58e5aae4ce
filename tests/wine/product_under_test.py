#!/usr/bin/python3
"""Before the 32-bit tree's tests run the product: is it there, is it the 32-bit image, and
does it carry exactly the payload the tests compare its work with? A product built around
another cabinet (-DWEB_INSTALLER_PAYLOAD) cannot be checked against the sample's files, so
that is a failure with its reason, not a skip.

usage: product_under_test.py IMAGE PAYLOAD [signed]

With "signed", the image must also carry a signature (a certificate table).
"""
import os
import sys

import pefile

PAYLOAD_TYPE, PAYLOAD_NAME = 5428, 137


def main():
    image, payload = sys.argv[1:3]
    if not os.path.isfile(image):
        print("FAILED: no product at %s: build the release tree first (cmake --preset release && "
              "cmake --build --preset release%s)" % (image, " && ctest --preset release" if sys.argv[3:] else ""))
        return 1
    pe = pefile.PE(image)
    if pe.FILE_HEADER.Machine != 0x14C:
        print("FAILED: %s is not a 32-bit (i386) image" % image)
        return 1
    embedded = None
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if rtype.id != PAYLOAD_TYPE:
            continue
        for name in rtype.directory.entries:
            if name.id == PAYLOAD_NAME:
                entry = name.directory.entries[0].data.struct
                embedded = pe.get_data(entry.OffsetToData, entry.Size)
    with open(payload, "rb") as f:
        expected = f.read()
    if embedded != expected:
        print("FAILED: the product at %s does not carry the sample payload %s; the 32-bit tests compare its "
              "work with that sample (reconfigure the release tree without -DWEB_INSTALLER_PAYLOAD)" % (image, payload))
        return 1
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    if sys.argv[3:] == ["signed"] and security.Size == 0:
        print("FAILED: %s carries no signature" % image)
        return 1
    if not os.path.isdir(payload + ".tree"):
        print("FAILED: the sample's source tree %s.tree is missing" % payload)
        return 1
    print("ok: the product under test is %s (%d bytes, i386), around %s (%d bytes)" % (
        image, os.path.getsize(image), payload, len(expected)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

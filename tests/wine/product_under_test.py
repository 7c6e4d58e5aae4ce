"""Before the 32-bit tree's tests run the product: is it there, is it the 32-bit image, and
does it carry exactly the payload the tests compare its work with? A product built around
another cabinet (-DWEB_INSTALLER_PAYLOAD) cannot be checked against the sample's files, so
that is a failure with its reason, not a skip. With --signed, the image must also carry a
signature (a certificate table).

Options: --launcher IMAGE --payload CABINET [--signed]
"""
import os

import pefile
import pytest

PAYLOAD_TYPE, PAYLOAD_NAME = 5428, 137


def embedded_payload(pe):
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if rtype.id != PAYLOAD_TYPE:
            continue
        for name in rtype.directory.entries:
            if name.id == PAYLOAD_NAME:
                entry = name.directory.entries[0].data.struct
                return pe.get_data(entry.OffsetToData, entry.Size)
    return None


def test_the_product_is_the_32_bit_image_around_the_sample(pytestconfig):
    image, payload = pytestconfig.getoption("launcher"), pytestconfig.getoption("payload")
    signed = pytestconfig.getoption("signed")
    if not image or not payload:
        pytest.fail("--launcher and --payload not given: run it through CTest", pytrace=False)
    assert os.path.isfile(image), "no product at %s: build the release tree first (cmake --workflow --preset release)" % (
        image)
    pe = pefile.PE(image)
    assert pe.FILE_HEADER.Machine == 0x14C, "%s is not a 32-bit (i386) image" % image
    with open(payload, "rb") as f:
        expected = f.read()
    assert embedded_payload(pe) == expected, (
        "the product at %s does not carry the sample payload %s; the 32-bit tests compare its work with that sample "
        "(reconfigure the release tree without -DWEB_INSTALLER_PAYLOAD)" % (image, payload))
    if signed:
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        assert security.Size != 0, "%s carries no signature" % image
    assert os.path.isdir(payload + ".tree"), "the sample's source tree %s.tree is missing" % payload

"""The options of the release tree's Python tests, given by CTest (tests/release/CMakeLists.txt).
Nothing is read until a test asks for it."""
import os
from types import SimpleNamespace

import pytest


def pytest_addoption(parser):
    group = parser.getgroup("web_installer_release", "the release tree under test")
    group.addoption("--source", help="the top of the sources, which the scratch trees are configured from")
    group.addoption("--work", help="a work folder for the scratch trees")
    group.addoption("--image", help="the product image to inspect")
    group.addoption("--payload", help="the cabinet it must carry")
    group.addoption("--wine-dlls", help="Wine's PE libraries of the image's width, for their export tables")
    group.addoption("--security-md", help="SECURITY.md, whose table lists the DLLs the image imports")
    group.addoption("--object-lib", action="append", default=[], help="a static library of the launcher's own code")


def options(config, *names):
    """The values of `names`, or the test fails saying how to run it."""
    values = [config.getoption(n) for n in names]
    if not all(values):
        pytest.fail("%s not given: run it through CTest (ctest --preset release -V)" % ", ".join(
            "--" + n.replace("_", "-") for n in names), pytrace=False)
    return SimpleNamespace(**dict(zip(names, values)))


@pytest.fixture(scope="session")
def shipping(pytestconfig):
    """Where the shipping tests configure their scratch trees from, and where they put them."""
    found = options(pytestconfig, "source", "work")
    os.makedirs(found.work, exist_ok=True)
    return found


@pytest.fixture(scope="session")
def product(pytestconfig):
    """The image the inspection reads, and what it is read against."""
    found = options(pytestconfig, "image", "payload", "wine_dlls", "security_md", "object_lib")
    return found

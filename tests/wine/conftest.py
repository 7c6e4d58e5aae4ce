"""The set-up that the Windows-side Python tests share: the tree they run in and its Wine.

CTest (tests/wine/CMakeLists.txt) gives the tree as options and the Wine in the environment
(WINEPREFIX, WINEARCH, and WI_WINE and WI_WINESERVER, which CMake found). Nothing is read
until a test asks for it, so `python3 -m pytest --collect-only` lists the tests without a
build tree and without starting Wine.
"""
import pytest

import wine_runs


def pytest_addoption(parser):
    group = parser.getgroup("web_installer_wine", "the Windows tree the tests run in")
    group.addoption("--build-dir", help="the tree's build folder: its test twins, fixtures and payloads")
    group.addoption("--scratch", help="a scratch folder of the tree's own")
    group.addoption("--launcher", help="the launcher under test (the product in the 32-bit tree, the twin in the 64-bit one)")
    group.addoption("--payload", help="the cabinet that launcher carries; its source tree lies beside it (.tree)")
    group.addoption("--signed", action="store_true", help="the launcher under test must carry a signature")


@pytest.fixture(scope="session")
def tree(pytestconfig):
    names = ("build_dir", "scratch", "launcher", "payload")
    values = [pytestconfig.getoption(n) for n in names]
    missing = ["--" + n.replace("_", "-") for n, v in zip(names, values) if not v]
    if missing:
        pytest.fail("%s not given: run the test through CTest (ctest --preset wine32 -R <name> -V), which gives "
                    "them" % ", ".join(missing), pytrace=False)
    return wine_runs.Tree(*values)


@pytest.fixture(scope="session")
def wine():
    try:
        return wine_runs.Wine.from_environment()
    except RuntimeError as error:
        pytest.fail(str(error), pytrace=False)


def pytest_terminal_summary(terminalreporter):
    for title, lines in wine_runs.REPORTS:
        terminalreporter.write_sep("-", title)
        for line in lines:
            terminalreporter.write_line(line)

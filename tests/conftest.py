"""What every Python test module shares, whichever tree runs it.

One test of a module is chosen with pytest's own selection, given through the environment
so that CTest passes it on: PYTEST_ADDOPTS='-k words' ctest --preset TREE -R '^ENTRY$' -V.
CTest also runs the entries that the chosen one needs first (a prefix's set-up, the product's
own check); a module all of whose tests the selection leaves out then counts as passed
rather than as a module without tests, so that it does not stop the test that was asked for.
"""
import pytest


def pytest_sessionfinish(session, exitstatus):
    if exitstatus == pytest.ExitCode.NO_TESTS_COLLECTED and session.config.option.keyword:
        session.exitstatus = pytest.ExitCode.OK

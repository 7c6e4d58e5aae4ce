"""The options of the native tree's Python tests, given by CTest (tests/native/CMakeLists.txt).
Nothing is read until a test asks for it."""


def pytest_addoption(parser):
    group = parser.getgroup("web_installer_native", "the build-side tools under test")
    group.addoption("--payload-check", help="the payload check, as the native tree built it")
    group.addoption("--make-sample", help="tools/make_sample_payload.py")
    group.addoption("--make-folder-payload", help="tools/make_folder_payload.py")
    group.addoption("--work", help="a work folder for the cases' cabinets and folders")

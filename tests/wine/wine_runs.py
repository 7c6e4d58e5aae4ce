"""What the Python tests of the Windows side share: the launcher's fixed names, the tree they
run in (its build folder, scratch folder, the launcher under test and its payload), the
tree's Wine and prefix (found by CMake, handed over in the environment), the temp directory
set where users set it (HKCU\\Environment), the RunOnce value, and the files a run left.

Nothing here runs at import: conftest.py makes a Tree and a Wine when a test first asks.
"""
import contextlib
import os
import subprocess

GUID = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}"
ENTRY = "RUZE_Derurerovo_Vozi.exe"
RUNONCE = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
RUNONCE_VALUE = "ZORIZavezUvoDuvare"
MUTEX = "Global\\ZORVA_WEB_Installer" + GUID

# Tables that tests leave for the end of the session, as (title, lines); conftest.py prints
# them after the results (the fault matrix's, for one).
REPORTS = []


def win(path):
    """A Unix path as the prefix's programs see it, through drive Z:."""
    return "Z:" + path.replace("/", "\\")


class Tree:
    """Where a Windows tree's tests work: its build folder (test twins, fixtures and payloads),
    a scratch folder of its own, the launcher under test and the cabinet it carries (its
    source tree beside it, with ".tree")."""

    def __init__(self, build, scratch, launcher, payload):
        self.build, self.scratch, self.launcher, self.payload = (os.path.abspath(p) for p in
                                                                 (build, scratch, launcher, payload))
        self.payload_tree = self.payload + ".tree"

    def fixture(self, name):
        """A test program of tests/fixtures, as the tree built it."""
        return os.path.join(self.build, "tests", "wine", name)


class Wine:
    """The tree's Wine and prefix, and the environment that every program of the prefix runs
    with: no debug output, no browser or .NET runtime, and none of the sample installer's
    controls unless a test sets them."""

    def __init__(self, loader, server, prefix, env):
        self.loader, self.server, self.prefix, self.env = loader, server, prefix, env

    @classmethod
    def from_environment(cls, environ=None):
        environ = dict(os.environ if environ is None else environ)
        missing = [v for v in ("WI_WINE", "WI_WINESERVER", "WINEPREFIX") if not environ.get(v)]
        if missing:
            raise RuntimeError("%s not set: run the test through CTest (ctest --preset wine32 ...), which sets them"
                               % ", ".join(missing))
        env = dict(environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        for name in ("WI_SAMPLE_HOLD_EVENT", "WI_SAMPLE_HOLD_MS", "WI_SAMPLE_CRASH", "WI_SAMPLE_RECORD"):
            env.pop(name, None)
        return cls(environ["WI_WINE"], environ["WI_WINESERVER"], environ["WINEPREFIX"], env)

    def with_env(self, **changes):
        """The same Wine with some variables of the environment changed."""
        return Wine(self.loader, self.server, self.prefix, dict(self.env, **changes))

    def run(self, *args, env=None, stdout=subprocess.DEVNULL, **how):
        """Runs a program of the prefix; the completed process. Never a pipe for its output: the
        prefix's background programs inherit it and keep it open while the server lives, so that
        reading it to its end would wait for them (a file, or nothing)."""
        return subprocess.run([self.loader] + list(args), env=env or self.env, stdout=stdout,
                              stderr=how.pop("stderr", subprocess.DEVNULL), **how)

    def start(self, *args, env=None, **how):
        """Starts a program of the prefix; the running process."""
        how.setdefault("stdout", subprocess.DEVNULL)
        how.setdefault("stderr", subprocess.DEVNULL)
        return subprocess.Popen([self.loader] + list(args), env=env or self.env, **how)

    def version(self):
        return subprocess.run([self.loader, "--version"], env=self.env, capture_output=True, text=True).stdout.strip()

    def server_wait(self):
        subprocess.run([self.server, "-w"], env=self.env, stderr=subprocess.DEVNULL)

    def server_kill(self):
        subprocess.run([self.server, "-k"], env=self.env, stderr=subprocess.DEVNULL)

    @contextlib.contextmanager
    def persistent_server(self):
        """One wineserver kept alive for a group of tests: a server that is shutting down after
        one test while the next test's programs start would slow some of them by seconds."""
        self.server_kill()
        self.server_wait()
        server = subprocess.Popen([self.server, "-f", "-p"], env=self.env)
        try:
            yield
        finally:
            self.server_kill()
            server.wait(timeout=60)

    def set_temp(self, windows_path):
        for var in ("TEMP", "TMP"):
            self.run("reg", "add", "HKCU\\Environment", "/v", var, "/t", "REG_SZ", "/d", windows_path, "/f")

    def restore_temp(self):
        for var in ("TEMP", "TMP"):
            self.run("reg", "add", "HKCU\\Environment", "/v", var, "/t", "REG_EXPAND_SZ", "/d", "%USERPROFILE%\\Temp",
                     "/f")

    def delete_runonce(self):
        self.run("reg", "delete", RUNONCE, "/v", RUNONCE_VALUE, "/f")

    def query_runonce(self, scratch_file):
        """What the prefix's reg tool prints for the RunOnce value (through a file, not a pipe)."""
        with open(scratch_file, "w") as out:
            self.run("reg", "query", RUNONCE, "/v", RUNONCE_VALUE, stdout=out)
        with open(scratch_file, errors="replace") as f:
            return f.read()


def listing(folder):
    """The files below `folder`, as paths relative to it, in a stable order."""
    out = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        out += sorted(os.path.relpath(os.path.join(root, f), folder) for f in files)
    return out


def installer_starts(record, encoding="latin-1"):
    """The sample installer's record at `record`: one dict of its fields per start."""
    if not os.path.exists(record):
        return []
    starts = []
    with open(record, "rb") as f:
        for line in f.read().decode(encoding, "replace").splitlines():
            field, _, value = line.partition("=")
            if field == "command_line":
                starts.append({})
            if starts:
                starts[-1][field] = value
    return starts


class Checks:
    """The checks of one test, in order, each kept with its message, so that a test reports
    every check that failed, not only the first."""

    def __init__(self, what=""):
        self.what = what
        self.failures = []
        self.passed = []

    def check(self, ok, message):
        (self.passed if ok else self.failures).append(message)
        return ok

    def verdict(self):
        """Fails the test, naming every failed check."""
        assert not self.failures, "%s%s" % (self.what + ": " if self.what else "", "; ".join(self.failures))

"""What the Python drivers of the Windows-side tests share: the launcher's fixed names, the
tree's Wine (WI_WINE, set by the test runner), the temp directory set where users set it
(HKCU\\Environment), and the files that a run left in a folder."""
import os
import subprocess

WINE = os.environ["WI_WINE"]
GUID = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}"
ENTRY = "RUZE_Derurerovo_Vozi.exe"
RUNONCE = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
RUNONCE_VALUE = "ZORIZavezUvoDuvare"


def win(path):
    """A Unix path as the prefix's programs see it, through drive Z:."""
    return "Z:" + path.replace("/", "\\")


def wine(env, *args, stdout=subprocess.DEVNULL):
    """Runs a program of the prefix; the completed process. Never a pipe for its output: the
    prefix's background programs inherit it and keep it open while the server lives, so that
    reading it to its end would wait for them (a file, or nothing)."""
    return subprocess.run([WINE] + list(args), env=env, stdout=stdout, stderr=subprocess.DEVNULL)


def set_temp(env, windows_path):
    for var in ("TEMP", "TMP"):
        wine(env, "reg", "add", "HKCU\\Environment", "/v", var, "/t", "REG_SZ", "/d", windows_path, "/f")


def restore_temp(env):
    for var in ("TEMP", "TMP"):
        wine(env, "reg", "add", "HKCU\\Environment", "/v", var, "/t", "REG_EXPAND_SZ", "/d", "%USERPROFILE%\\Temp", "/f")


def delete_runonce(env):
    wine(env, "reg", "delete", RUNONCE, "/v", RUNONCE_VALUE, "/f")


def query_runonce(env, scratch_file):
    """What the prefix's reg tool prints for the RunOnce value (through a file, not a pipe)."""
    with open(scratch_file, "w") as out:
        wine(env, "reg", "query", RUNONCE, "/v", RUNONCE_VALUE, stdout=out)
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

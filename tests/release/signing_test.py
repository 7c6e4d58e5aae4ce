#!/usr/bin/python3
"""Authenticode signing in scratch release trees, with a throwaway code-signing key made here
by openssl (nothing secret is kept anywhere).

A signed build verifies against its certificate; signing changes nothing of the image but the
certificate table, its header entry and the header checksum; two signed builds in two trees
with the same key and time are byte-identical; the default time is the last commit's, or the
certificate's start when the certificate is newer (renewed after the last commit);
the password appears nowhere in the build tree or its command lines; a wrong password, an
expired certificate or one not valid yet, a signing time outside the certificate's validity, or a missing key or
password file stops the build (or its configuration) with its cause named, and leaves no
image where the signed one is expected. The wine32 tree runs the signed product end to end
(signed_product_e2e).

usage: signing_test.py SOURCE_DIR WORK_DIR
"""
import calendar
import os
import shutil
import subprocess
import sys
import time

import pefile

from scratch_tree import RT_VERSION, build, configure, failures, payload_of, report, resources

source, work = sys.argv[1], sys.argv[2]
PASSWORD = "pa ss w\u00f6rd 'q' \"$HOME\" ;"  # spaces, quotes, a non-ASCII letter, shell characters
os.environ.pop("SOURCE_DATE_EPOCH", None)


def run(*command, **kw):
    return subprocess.run(list(command), capture_output=True, text=True, **kw)


CA_CONFIG = """[ca]
default_ca = throwaway
[throwaway]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
x509_extensions = code_signing
unique_subject = no
[any]
commonName = supplied
[code_signing]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Throwaway Code Signing %s
"""


def make_key(name, start, end):
    """A self-signed code-signing certificate valid from `start` to `end` (YYYYMMDDHHMMSSZ) and
    its key, as keys/NAME.p12 (with PASSWORD) and keys/NAME.pem (the certificate)."""
    d = os.path.join(work, "keys", name)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    with open(os.path.join(d, "ca.cnf"), "w") as f:
        f.write(CA_CONFIG % name)
    open(os.path.join(d, "index.txt"), "w").close()
    with open(os.path.join(d, "serial"), "w") as f:
        f.write("01\n")
    for command in (["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "req.csr",
                     "-config", "ca.cnf"],
                    ["openssl", "ca", "-batch", "-selfsign", "-config", "ca.cnf", "-keyfile", "key.pem", "-in", "req.csr",
                     "-out", "cert.pem", "-startdate", start, "-enddate", end, "-notext"],
                    ["openssl", "pkcs12", "-export", "-inkey", "key.pem", "-in", "cert.pem", "-out", "key.p12",
                     "-passout", "file:" + password_file]):
        run(*command, cwd=d, check=True)
    os.remove(os.path.join(d, "key.pem"))
    return os.path.join(d, "key.p12"), os.path.join(d, "cert.pem")


def verify(image, cert):
    r = run("osslsigncode", "verify", "-CAfile", cert, "-in", image)
    return r.returncode == 0 and "Signature verification: ok" in r.stdout, r.stdout + r.stderr


def signing_time_shown(output):
    for line in output.splitlines():
        if "Signing time:" in line:
            return calendar.timegm(time.strptime(" ".join(line.split(":", 1)[1].split()), "%b %d %H:%M:%S %Y GMT"))
    return None


def only_signing_differs(unsigned, signed):
    """Empty when `signed` is `unsigned` with a certificate table appended (8-byte aligned)
    and only the header checksum and the certificate table's directory entry changed;
    otherwise what differs."""
    with open(unsigned, "rb") as f:
        u = f.read()
    with open(signed, "rb") as f:
        s = f.read()
    pu, ps = pefile.PE(data=u), pefile.PE(data=s)
    checksum_at = pu.OPTIONAL_HEADER.get_file_offset() + 64
    directory_at = pu.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].get_file_offset()
    allowed = set(range(checksum_at, checksum_at + 4)) | set(range(directory_at, directory_at + 8))
    problems = []
    changed = [i for i in range(min(len(u), len(s))) if u[i] != s[i] and i not in allowed]
    if changed:
        problems.append("%d bytes of the unsigned image changed, from offset %d" % (len(changed), changed[0]))
    for a, b in zip(pu.sections, ps.sections):
        if a.get_data() != b.get_data():
            problems.append("section %s changed" % a.Name.rstrip(b"\0").decode())
    table = ps.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    start = (len(u) + 7) // 8 * 8
    if (table.VirtualAddress, table.VirtualAddress + table.Size) != (start, len(s)) or s[len(u):start].strip(b"\0"):
        problems.append("the certificate table is not what follows the image (%d+%d, image %d, file %d)" % (
            table.VirtualAddress, table.Size, len(u), len(s)))
    elif s[start + 4:start + 8] != b"\x00\x02\x02\x00":
        problems.append("the certificate table holds no PKCS#7 signed data")
    if ps.OPTIONAL_HEADER.CheckSum != ps.generate_checksum():
        problems.append("the header checksum is not the file's")
    if payload_of(signed) != payload_of(unsigned):
        problems.append("the payload resource changed")
    return problems


def files_holding(tree, secret):
    found = []
    for d, _, names in os.walk(tree):
        for n in names:
            path = os.path.join(d, n)
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    if secret in f.read():
                        found.append(path)
    return found


os.makedirs(os.path.join(work, "keys"), exist_ok=True)
password_file = os.path.join(work, "keys", "password.txt")
with open(password_file, "w", encoding="utf-8") as f:
    f.write(PASSWORD + "\n")
wrong_password_file = os.path.join(work, "keys", "wrong-password.txt")
with open(wrong_password_file, "w") as f:
    f.write("not the password\n")
key, cert = make_key("good", "20000101000000Z", "20991231000000Z")
expired_key, _ = make_key("expired", "20000101000000Z", "20010101000000Z")
future_key, _ = make_key("future", time.strftime("%Y%m%d000000Z", time.gmtime(time.time() + 2 * 86400)), "20991231000000Z")
commit_time = int(run("git", "-C", source, "log", "-1", "--format=%ct", check=True).stdout.strip())
# A certificate renewed today, after the last commit: valid from a second ago.
renewed_start = max(int(time.time()) - 1, commit_time + 1)
time.sleep(max(0, renewed_start - time.time() + 1))
renewed_key, renewed_cert = make_key("renewed", time.strftime("%Y%m%d%H%M%SZ", time.gmtime(renewed_start)), "20400101000000Z")
RENEWED_END = calendar.timegm((2040, 1, 1, 0, 0, 0))
signing = {"WEB_INSTALLER_SIGNING_PKCS12": key, "WEB_INSTALLER_SIGNING_PASSWORD_FILE": password_file}

# The first signed build: the default signing time.
first = os.path.join(work, "signed")
image = os.path.join(first, "Web_Installer.exe")
code, configured = configure(source, first, WEB_INSTALLER_SIGNING_TIME="", **signing)
if os.path.exists(image):
    os.remove(image)  # the signing step's command line is in the verbose log below
code, built = build(first, verbose=True) if code == 0 else (code, configured)
report(code == 0 and os.path.isfile(image), "a release tree with a key builds its signed image", built[-2000:] if code else "")
if failures:
    sys.exit(1)
ok, out = verify(image, cert)
report(ok, "osslsigncode verify -CAfile accepts the signed image against the throwaway certificate",
       " | ".join(line.strip() for line in out.splitlines() if "verification" in line or "Signing time" in line))
report(signing_time_shown(out) == commit_time, "the default signing time is the last commit's time (%d)" % commit_time,
       str(signing_time_shown(out)))
problems = only_signing_differs(os.path.join(first, "unsigned", "Web_Installer.exe"), image)
report(not problems, "signing changed only the certificate table, its directory entry and the header checksum; "
       "every section and the payload resource are the unsigned image's", "; ".join(problems))
report(not [k for k in resources(pefile.PE(image)) if k[0] == RT_VERSION], "no version resource when none is asked")
leaks = files_holding(first, PASSWORD.encode("utf-8"))
report(not leaks and PASSWORD not in built and PASSWORD not in configured,
       "the password is in no file of the tree (CMakeCache.txt included) and on no command line of the build",
       ", ".join(leaks))

# A second tree, the same key, the time given explicitly: the same bytes.
second = os.path.join(work, "signed-again")
second_image = os.path.join(second, "Web_Installer.exe")
code, out = configure(source, second, WEB_INSTALLER_SIGNING_TIME=str(commit_time), **signing)
code, out = build(second) if code == 0 else (code, out)
same = code == 0 and open(image, "rb").read() == open(second_image, "rb").read()
report(same, "two signed builds in two trees are byte-identical", "%d bytes each" % os.path.getsize(image) if same else out[-1500:])
code, out = configure(source, second, WEB_INSTALLER_SIGNING_TIME=str(commit_time + 3600), **signing)
code, out = build(second) if code == 0 else (code, out)
ok, shown = verify(second_image, cert)
report(code == 0 and ok and signing_time_shown(shown) == commit_time + 3600 and
       open(image, "rb").read() != open(second_image, "rb").read(),
       "another signing time is honoured: the image is signed again, at that time")
renewed = {"WEB_INSTALLER_SIGNING_PKCS12": renewed_key, "WEB_INSTALLER_SIGNING_PASSWORD_FILE": password_file}
code, out = configure(source, second, WEB_INSTALLER_SIGNING_TIME=str(RENEWED_END), **renewed)
code, out = build(second) if code == 0 else (code, out)
ok, shown = verify(second_image, renewed_cert)
report(code == 0 and ok and signing_time_shown(shown) == RENEWED_END, "the certificate's last second is a signing time",
       out[-800:] if code else "")

# A certificate renewed after the last commit, the default time: signed at the certificate's
# start, the same bytes every time.
signed_renewed = []
for tree in (second, os.path.join(work, "signed-renewed")):
    code, out = configure(source, tree, WEB_INSTALLER_SIGNING_TIME="", **renewed)
    code, out = build(tree) if code == 0 else (code, out)
    ok, shown = verify(os.path.join(tree, "Web_Installer.exe"), renewed_cert)
    report(code == 0 and ok and signing_time_shown(shown) == renewed_start,
           "a certificate valid from after the last commit signs by default, at its start (%d, the commit %d)" % (
               renewed_start, commit_time), out[-1500:] if code else str(signing_time_shown(shown)))
    if code == 0:
        with open(os.path.join(tree, "Web_Installer.exe"), "rb") as f:
            signed_renewed.append(f.read())
report(len(signed_renewed) == 2 and signed_renewed[0] == signed_renewed[1],
       "signed so in two trees, the images are byte-identical")

# What must stop the build, each after a good signed build: its cause named, and no image
# (neither unsigned nor the earlier signed one) where the signed one is expected.
cases = [
    ("a wrong password", {"WEB_INSTALLER_SIGNING_PASSWORD_FILE": wrong_password_file}, True,
     ["signing: FAILED", wrong_password_file, "does not open", key]),
    ("an expired certificate", {"WEB_INSTALLER_SIGNING_PKCS12": expired_key}, True,
     ["signing: FAILED", expired_key, "expired on 2001-01-01"]),
    ("a certificate not valid yet", {"WEB_INSTALLER_SIGNING_PKCS12": future_key, "WEB_INSTALLER_SIGNING_TIME": ""},
     True, ["signing: FAILED", future_key, "is not valid yet"]),
    ("a signing time before the certificate's validity", {"WEB_INSTALLER_SIGNING_TIME": "900000000"}, True,
     ["signing: FAILED", "1998-07-09", "outside the certificate's validity", "WEB_INSTALLER_SIGNING_TIME"]),
    ("a signing time after the certificate's validity",
     {"WEB_INSTALLER_SIGNING_PKCS12": renewed_key, "WEB_INSTALLER_SIGNING_TIME": str(RENEWED_END + 1)}, True,
     ["signing: FAILED", "2040-01-01 00:00:01", "outside the certificate's validity"]),
    ("a missing key file", {"WEB_INSTALLER_SIGNING_PKCS12": key + ".missing"}, False,
     ["WEB_INSTALLER_SIGNING_PKCS12", key + ".missing", "not a file"]),
    ("a missing password file", {"WEB_INSTALLER_SIGNING_PASSWORD_FILE": password_file + ".missing"}, False,
     ["WEB_INSTALLER_SIGNING_PASSWORD_FILE", password_file + ".missing", "not a file"]),
]
for what, settings, at_build, words in cases:
    configure(source, second, WEB_INSTALLER_SIGNING_TIME=str(commit_time), **signing)
    build(second)
    signed_before = os.path.isfile(second_image)
    code, out = configure(source, second, **{**signing, "WEB_INSTALLER_SIGNING_TIME": str(commit_time), **settings})
    stage = "configuration"
    if code == 0:
        stage = "build"
        code, out = build(second)
    left = [n for n in os.listdir(second) if n.startswith("Web_Installer.exe")]
    message = next((line.strip() for line in out.splitlines() if words[-1] in line or words[0] in line), out[-800:])
    report(signed_before and code != 0 and stage == ("build" if at_build else "configuration") and not left and
           all(w in out for w in words), "%s stops the %s, and no image is left" % (what, stage),
           message + (" | left: %s" % left if left else ""))

sys.exit(1 if failures else 0)

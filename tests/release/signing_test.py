"""Authenticode signing in scratch release trees, with a throwaway code-signing key made here
by openssl (nothing secret is kept anywhere).

A signed build verifies against its certificate; signing changes nothing of the image but the
certificate table, its header entry and the header checksum; two signed builds in two trees
with the same key and time are byte-identical; the default time is the last commit's, or the
certificate's start when the certificate is newer (renewed after the last commit);
the password appears nowhere in the build tree or its command lines; a wrong password, an
expired certificate or one not valid yet, a signing time outside the certificate's validity,
or a missing key or password file stops the build (or its configuration) with its cause
named, and leaves no image where the signed one is expected. The wine32 tree runs the signed
product end to end (signed_product_e2e).

The tests share the scratch trees and run in the order they are written.

Options: --source DIR --work DIR (see conftest.py)
"""
import calendar
import os
import shutil
import subprocess
import time
from types import SimpleNamespace

import pefile
import pytest

from scratch_tree import RT_VERSION, build, configure, payload_of, resources

PASSWORD = "pa ss w\u00f6rd 'q' \"$HOME\" ;"  # spaces, quotes, a non-ASCII letter, shell characters
RENEWED_END = calendar.timegm((2040, 1, 1, 0, 0, 0))


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


def make_key(work, password_file, name, start, end):
    """A self-signed code-signing certificate valid from `start` to `end` (YYYYMMDDHHMMSSZ) and
    its key, as keys/NAME/key.p12 (with PASSWORD) and keys/NAME/cert.pem (the certificate)."""
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


@pytest.fixture(scope="module")
def keys(shipping):
    """The password files, the keys (good, expired, not valid yet, renewed after the last
    commit) and the last commit's time."""
    os.environ.pop("SOURCE_DATE_EPOCH", None)
    work = os.path.join(shipping.work, "signing")
    os.makedirs(os.path.join(work, "keys"), exist_ok=True)
    k = SimpleNamespace(source=shipping.source, work=work,
                        password_file=os.path.join(work, "keys", "password.txt"),
                        wrong_password_file=os.path.join(work, "keys", "wrong-password.txt"))
    with open(k.password_file, "w", encoding="utf-8") as f:
        f.write(PASSWORD + "\n")
    with open(k.wrong_password_file, "w") as f:
        f.write("not the password\n")

    def key(name, start, end):
        return make_key(work, k.password_file, name, start, end)

    k.key, k.cert = key("good", "20000101000000Z", "20991231000000Z")
    k.expired_key, _ = key("expired", "20000101000000Z", "20010101000000Z")
    k.future_key, _ = key("future", time.strftime("%Y%m%d000000Z", time.gmtime(time.time() + 2 * 86400)),
                          "20991231000000Z")
    k.commit_time = int(run("git", "-C", shipping.source, "log", "-1", "--format=%ct", check=True).stdout.strip())
    # A certificate renewed today, after the last commit: valid from a second ago.
    k.renewed_start = max(int(time.time()) - 1, k.commit_time + 1)
    time.sleep(max(0, k.renewed_start - time.time() + 1))
    k.renewed_key, k.renewed_cert = key("renewed", time.strftime("%Y%m%d%H%M%SZ", time.gmtime(k.renewed_start)),
                                        "20400101000000Z")
    k.signing = {"WEB_INSTALLER_SIGNING_PKCS12": k.key, "WEB_INSTALLER_SIGNING_PASSWORD_FILE": k.password_file}
    k.renewed = {"WEB_INSTALLER_SIGNING_PKCS12": k.renewed_key, "WEB_INSTALLER_SIGNING_PASSWORD_FILE": k.password_file}
    k.second = os.path.join(work, "signed-again")
    k.second_image = os.path.join(k.second, "Web_Installer.exe")
    return k


@pytest.fixture(scope="module")
def first(keys):
    """The first signed build, at the default signing time, with its configuration's and its
    build's output (the build's verbose: the signing step's command line)."""
    tree = os.path.join(keys.work, "signed")
    f = SimpleNamespace(tree=tree, image=os.path.join(tree, "Web_Installer.exe"))
    code, f.configured = configure(keys.source, tree, WEB_INSTALLER_SIGNING_TIME="", **keys.signing)
    if os.path.exists(f.image):
        os.remove(f.image)
    code, f.built = build(tree, verbose=True) if code == 0 else (code, f.configured)
    if code != 0 or not os.path.isfile(f.image):
        pytest.fail("a release tree with a key does not build its signed image: " + f.built[-2000:], pytrace=False)
    return f


def test_the_signed_image_verifies_against_the_throwaway_certificate(keys, first):
    ok, out = verify(first.image, keys.cert)
    assert ok, out


def test_the_default_signing_time_is_the_last_commits(keys, first):
    assert signing_time_shown(verify(first.image, keys.cert)[1]) == keys.commit_time


def test_signing_changes_only_the_certificate_table_its_entry_and_the_checksum(first):
    problems = only_signing_differs(os.path.join(first.tree, "unsigned", "Web_Installer.exe"), first.image)
    assert not problems, "; ".join(problems)


def test_no_version_resource_when_none_is_asked(first):
    assert not [k for k in resources(pefile.PE(first.image)) if k[0] == RT_VERSION]


def test_the_password_is_in_no_file_of_the_tree_and_on_no_command_line(first):
    leaks = files_holding(first.tree, PASSWORD.encode("utf-8"))
    assert not leaks, ", ".join(leaks)
    assert PASSWORD not in first.built and PASSWORD not in first.configured


def configured_and_built(keys, tree, **settings):
    code, out = configure(keys.source, tree, **settings)
    return build(tree) if code == 0 else (code, out)


def test_two_signed_builds_in_two_trees_are_byte_identical(keys, first):
    code, out = configured_and_built(keys, keys.second, WEB_INSTALLER_SIGNING_TIME=str(keys.commit_time), **keys.signing)
    assert code == 0, out[-1500:]
    assert open(first.image, "rb").read() == open(keys.second_image, "rb").read()


def test_another_signing_time_is_honoured(keys, first):
    code, out = configured_and_built(keys, keys.second, WEB_INSTALLER_SIGNING_TIME=str(keys.commit_time + 3600),
                                     **keys.signing)
    ok, shown = verify(keys.second_image, keys.cert)
    assert code == 0 and ok, out[-1500:]
    assert signing_time_shown(shown) == keys.commit_time + 3600
    assert open(first.image, "rb").read() != open(keys.second_image, "rb").read(), "the image was not signed again"


def test_the_certificates_last_second_is_a_signing_time(keys):
    code, out = configured_and_built(keys, keys.second, WEB_INSTALLER_SIGNING_TIME=str(RENEWED_END), **keys.renewed)
    ok, shown = verify(keys.second_image, keys.renewed_cert)
    assert code == 0 and ok, out[-800:]
    assert signing_time_shown(shown) == RENEWED_END


def test_a_certificate_renewed_after_the_last_commit_signs_by_default_at_its_start_the_same_bytes_in_two_trees(keys):
    signed = []
    for tree in (keys.second, os.path.join(keys.work, "signed-renewed")):
        code, out = configured_and_built(keys, tree, WEB_INSTALLER_SIGNING_TIME="", **keys.renewed)
        assert code == 0, out[-1500:]
        ok, shown = verify(os.path.join(tree, "Web_Installer.exe"), keys.renewed_cert)
        assert ok and signing_time_shown(shown) == keys.renewed_start, "signed at %s, not at the certificate's start %d " \
            "(the commit %d)" % (signing_time_shown(shown), keys.renewed_start, keys.commit_time)
        with open(os.path.join(tree, "Web_Installer.exe"), "rb") as f:
            signed.append(f.read())
    assert signed[0] == signed[1]


# What must stop the build, each after a good signed build: its cause named, and no image
# (neither unsigned nor the earlier signed one) where the signed one is expected. Each
# setting names a key of `keys` in capitals, filled in by the test.
REFUSALS = [
    ("a wrong password", {"WEB_INSTALLER_SIGNING_PASSWORD_FILE": "WRONG_PASSWORD_FILE"}, True,
     ["signing: FAILED", "WRONG_PASSWORD_FILE", "does not open", "KEY"]),
    ("an expired certificate", {"WEB_INSTALLER_SIGNING_PKCS12": "EXPIRED_KEY"}, True,
     ["signing: FAILED", "EXPIRED_KEY", "expired on 2001-01-01"]),
    ("a certificate not valid yet", {"WEB_INSTALLER_SIGNING_PKCS12": "FUTURE_KEY", "WEB_INSTALLER_SIGNING_TIME": ""},
     True, ["signing: FAILED", "FUTURE_KEY", "is not valid yet"]),
    ("a signing time before the certificate's validity", {"WEB_INSTALLER_SIGNING_TIME": "900000000"}, True,
     ["signing: FAILED", "1998-07-09", "outside the certificate's validity", "WEB_INSTALLER_SIGNING_TIME"]),
    ("a signing time after the certificate's validity",
     {"WEB_INSTALLER_SIGNING_PKCS12": "RENEWED_KEY", "WEB_INSTALLER_SIGNING_TIME": str(RENEWED_END + 1)}, True,
     ["signing: FAILED", "2040-01-01 00:00:01", "outside the certificate's validity"]),
    ("a missing key file", {"WEB_INSTALLER_SIGNING_PKCS12": "KEY.missing"}, False,
     ["WEB_INSTALLER_SIGNING_PKCS12", "KEY.missing", "not a file"]),
    ("a missing password file", {"WEB_INSTALLER_SIGNING_PASSWORD_FILE": "PASSWORD_FILE.missing"}, False,
     ["WEB_INSTALLER_SIGNING_PASSWORD_FILE", "PASSWORD_FILE.missing", "not a file"]),
]


@pytest.mark.parametrize("settings, at_build, words", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_a_setting_that_cannot_sign_stops_with_its_cause_and_leaves_no_image(keys, settings, at_build, words):
    names = {"KEY": keys.key, "EXPIRED_KEY": keys.expired_key, "FUTURE_KEY": keys.future_key,
             "RENEWED_KEY": keys.renewed_key, "PASSWORD_FILE": keys.password_file,
             "WRONG_PASSWORD_FILE": keys.wrong_password_file}

    def fill(text):
        name, dot, rest = text.partition(".")
        return names[name] + dot + rest if name in names else text
    settings = {k: fill(v) for k, v in settings.items()}
    words = [fill(w) for w in words]
    configured_and_built(keys, keys.second, WEB_INSTALLER_SIGNING_TIME=str(keys.commit_time), **keys.signing)
    assert os.path.isfile(keys.second_image), "the good signed build before the case failed"
    code, out = configure(keys.source, keys.second,
                          **{**keys.signing, "WEB_INSTALLER_SIGNING_TIME": str(keys.commit_time), **settings})
    stage = "configuration"
    if code == 0:
        stage = "build"
        code, out = build(keys.second)
    left = [n for n in os.listdir(keys.second) if n.startswith("Web_Installer.exe")]
    message = next((line.strip() for line in out.splitlines() if words[-1] in line or words[0] in line), out[-800:])
    assert code != 0 and stage == ("build" if at_build else "configuration"), "%s: %s" % (stage, message)
    assert not left, "left: %s" % left
    assert all(w in out for w in words), message

#!/usr/bin/env python3
"""Signs a Windows image with Authenticode (SHA-256) using osslsigncode.

  sign_image.py --pkcs12 KEY.p12 --password-file FILE (--time UNIX_TIME | --source-time UNIX_TIME)
                [--timestamp-url URL] --in UNSIGNED.exe --out SIGNED.exe

--time is the signing time as it is. --source-time is the sources' time (the last commit's):
the signing time is then the later of it and the certificate's start, so that a certificate
renewed after the last commit signs, and the same sources and key still give the same bytes.

The password is read from FILE by the tools themselves (osslsigncode -readpass, openssl
-passin file:), never passed on a command line. Before signing, the certificate in KEY.p12
must open with that password and be valid both now and at the signing time (osslsigncode
itself signs with an expired certificate). The signature is written to a temporary file and
renamed to OUT only once complete; OUT is removed first, so that after a failure there is no
file at all where the signed image is expected, neither an unsigned one nor an old one.

With the same key, image and time, the signed bytes are the same every time. A timestamp
server (--timestamp-url, RFC 3161) adds a countersignature of its own time, which differs
from one signing to the next.
"""
import argparse
import calendar
import os
import subprocess
import sys
import time


class Failed(Exception):
    pass


def utc(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def certificate(pkcs12, password_file):
    """The signer's certificate (PEM) out of the PKCS#12 file; PKCS#12 files of the older
    ciphers need OpenSSL's legacy provider."""
    last = ""
    for extra in ([], ["-legacy"]):
        r = subprocess.run(["openssl", "pkcs12", "-in", pkcs12, "-passin", "file:" + password_file, "-nokeys",
                            "-clcerts"] + extra, capture_output=True, text=True)
        if r.returncode == 0 and "BEGIN CERTIFICATE" in r.stdout:
            return r.stdout
        last = (r.stderr.strip().splitlines() or ["no certificate in it"])[0]
    raise Failed("the password in %s does not open %s, or it is not a PKCS#12 file with a certificate (openssl: %s)" % (
        password_file, pkcs12, last))


def validity(pem):
    r = subprocess.run(["openssl", "x509", "-noout", "-startdate", "-enddate", "-subject"], input=pem,
                       capture_output=True, text=True, check=True)
    fields = dict(line.split("=", 1) for line in r.stdout.splitlines() if "=" in line)

    def when(text):  # e.g. "Jan  1 00:00:00 2000 GMT"
        return calendar.timegm(time.strptime(" ".join(text.split()), "%b %d %H:%M:%S %Y GMT"))
    return when(fields["notBefore"]), when(fields["notAfter"]), fields.get("subject", "?").strip()


def sign(a):
    for path, what in ((a.pkcs12, "key (PKCS#12) file"), (a.password_file, "password file"), (a.input, "image")):
        if not os.path.isfile(path):
            raise Failed("the %s %s does not exist" % (what, path))
    start, end, subject = validity(certificate(a.pkcs12, a.password_file))
    now = int(time.time())
    span = "valid from %s to %s" % (utc(start), utc(end))
    if now > end:
        raise Failed("the certificate in %s (%s) expired on %s: it cannot sign" % (a.pkcs12, subject, utc(end)))
    if now < start:
        raise Failed("the certificate in %s (%s) is not valid yet (%s)" % (a.pkcs12, subject, span))
    if a.time is None:
        a.time = max(a.source_time, start)
    if not start <= a.time <= end:
        raise Failed("the signing time %s is outside the certificate's validity (%s, %s); set WEB_INSTALLER_SIGNING_TIME "
                     "to a time within it" % (utc(a.time), subject, span))

    tmp = a.output + ".signing"
    command = ["osslsigncode", "sign", "-pkcs12", a.pkcs12, "-readpass", a.password_file, "-h", "sha256",
               "-time", str(a.time)]
    if a.timestamp_url:
        command += ["-ts", a.timestamp_url]
    command += ["-in", a.input, "-out", tmp]
    try:
        r = subprocess.run(command, capture_output=True, text=True)
        if r.returncode != 0 or not os.path.isfile(tmp):
            raise Failed("osslsigncode could not sign %s: %s" % (a.input, " ".join((r.stdout + r.stderr).split())))
        os.chmod(tmp, os.stat(a.input).st_mode & 0o777)  # executable as the linked image is
        os.replace(tmp, a.output)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)
    print("signed %s (SHA-256, %s, signing time %s%s%s)" % (
        a.output, subject, utc(a.time),
        "" if a.source_time is None or a.time == a.source_time else ", the certificate's start, later than the "
        "sources' time %s" % utc(a.source_time),
                                                          ", timestamp from " + a.timestamp_url if a.timestamp_url else ""))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pkcs12", required=True)
    ap.add_argument("--password-file", required=True)
    when = ap.add_mutually_exclusive_group(required=True)
    when.add_argument("--time", type=int)
    when.add_argument("--source-time", type=int)
    ap.add_argument("--timestamp-url", default="")
    ap.add_argument("--in", dest="input", required=True)
    ap.add_argument("--out", dest="output", required=True)
    a = ap.parse_args()
    if os.path.exists(a.output):
        os.remove(a.output)
    try:
        sign(a)
    except Failed as e:
        print("signing: FAILED: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env bash
# Can this kernel run 32-bit x86 code? Runs a 96-byte static i386 ELF that only calls exit(42)
# (no loader, no libraries, no files): 42 means yes. Bounded by `timeout`, so it cannot hang.
# Prints one line saying what was found; exits 0 when 32-bit code runs, 1 otherwise.
# WEB_INSTALLER_NO_32BIT=1 makes it answer no, to see what a machine without 32-bit support does.
set -u
if [ "${WEB_INSTALLER_NO_32BIT:-}" = 1 ]; then
  echo "32-bit code: taken as unable to run here (WEB_INSTALLER_NO_32BIT=1)"
  exit 1
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/probe32.XXXXXX")
trap 'rm -rf "$dir"' EXIT
# ELF header (52 bytes), one PT_LOAD program header (32 bytes) mapping the file at 0x08048000,
# then the code at 0x08048054: mov eax,1; mov ebx,42; int 0x80.
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$dir/exit42"
chmod +x "$dir/exit42"
timeout 5 "$dir/exit42" >/dev/null 2>&1
rc=$?
if [ "$rc" -eq 42 ]; then
  echo "32-bit code: runs on this kernel (a 32-bit probe program ended with its own code 42)"
  exit 0
fi
echo "32-bit code: cannot run on this kernel (a 32-bit probe program ended with $rc instead of 42)"
exit 1

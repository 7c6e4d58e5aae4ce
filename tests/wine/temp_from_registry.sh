#!/usr/bin/env bash
# The launcher under test started from the Unix side, as the prefix starts any program, with
# its temp directory set where users set it: HKCU\Environment. A path with spaces.
set -euo pipefail
launcher=$1
W=${WI_WINE:?WI_WINE must name the Wine of the tree}
guid='{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}'
unix_temp="$WINEPREFIX/drive_c/temp dir with spaces"
rm -rf "$unix_temp"; mkdir -p "$unix_temp"
runonce='HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce'

restore() {
  for v in TEMP TMP; do
    "$W" reg add 'HKCU\Environment' /v $v /t REG_EXPAND_SZ /d '%USERPROFILE%\Temp' /f >/dev/null 2>&1 || true
  done
}
trap restore EXIT
for v in TEMP TMP; do
  "$W" reg add 'HKCU\Environment' /v $v /t REG_SZ /d 'C:\temp dir with spaces' /f >/dev/null 2>&1
done
"$W" reg delete "$runonce" /v ZORIZavezUvoDuvare /f >/dev/null 2>&1 || true

set +e
"$W" "$launcher"
code=$?
set -e
value=$("$W" reg query "$runonce" /v ZORIZavezUvoDuvare 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p')
expected="cmd /Q /C rd /S /Q \"C:\\temp dir with spaces\\$guid\""
fail=0
[ "$code" = 0 ] && echo "ok: exit code 0" || { echo "FAILED: exit code $code"; fail=1; }
[ -d "$unix_temp/$guid" ] && echo "ok: the work folder is in the temp directory from the registry" \
  || { echo "FAILED: no folder at $unix_temp/$guid"; fail=1; }
[ "$value" = "$expected" ] && echo "ok: RunOnce holds $value" || { echo "FAILED: RunOnce holds [$value], expected [$expected]"; fail=1; }
exit $fail

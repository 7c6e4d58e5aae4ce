#!/usr/bin/env bash
# The launcher under test with its temp directory on a file system too small for the
# cabinet (a tmpfs behind the prefix's temp directory): the write fails, the run ends with
# exit code 0, a partial "VOVore.cab" is left and nothing is extracted.
set -uo pipefail
launcher=$1 payload=$2 mountpoint=$3
W=${WI_WINE:?WI_WINE must name the Wine of the tree}
guid='{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}'
size=$(stat -c %s "$payload")
room_kb=$(( size / 1024 / 2 ))

mkdir -p "$mountpoint"
if ! mount -t tmpfs -o size=${room_kb}k tmpfs "$mountpoint" 2>/dev/null; then
  echo "cannot mount a tmpfs here (not root?): skipped"; exit 77
fi
restore() {
  for v in TEMP TMP; do
    "$W" reg add 'HKCU\Environment' /v $v /t REG_EXPAND_SZ /d '%USERPROFILE%\Temp' /f >/dev/null 2>&1 || true
  done
  umount "$mountpoint" 2>/dev/null || true
}
trap restore EXIT
winpath="Z:$(echo "$mountpoint" | tr / '\\')"
for v in TEMP TMP; do "$W" reg add 'HKCU\Environment' /v $v /t REG_SZ /d "$winpath" /f >/dev/null 2>&1; done

WI_SAMPLE_RECORD="$winpath\\record.txt" "$W" "$launcher"
code=$?
fail=0
folder="$mountpoint/$guid"
cab_size=$(stat -c %s "$folder/VOVore.cab" 2>/dev/null || echo 0)
[ "$code" = 0 ] && echo "ok: exit code 0" || { echo "FAILED: exit code $code"; fail=1; }
if [ "$cab_size" -gt 0 ] && [ "$cab_size" -lt "$size" ]; then
  echo "ok: a partial VOVore.cab is left ($cab_size of $size bytes in a ${room_kb} KB file system)"
else
  echo "FAILED: VOVore.cab has $cab_size bytes (payload $size)"; fail=1
fi
others=$(find "$folder" -mindepth 1 ! -name VOVore.cab | wc -l)
[ "$others" = 0 ] && echo "ok: nothing extracted" || { echo "FAILED: $others other entries in the folder"; fail=1; }
[ ! -e "$mountpoint/record.txt" ] && echo "ok: nothing launched" || { echo "FAILED: the installer was started"; fail=1; }
exit $fail

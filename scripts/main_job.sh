#!/usr/bin/env bash
# Sets everything up, builds the product and its twin around the default payload, runs the
# product itself once under 32-bit Wine in a throwaway prefix (the twin under wine64 where
# this machine cannot run 32-bit code), and tells in plain words what happened.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

for preset in wine64 release; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target Web_Installer >/dev/null
done
cmake --preset wine32 >/dev/null  # where the 32-bit Wine is, as that tree found it
setting() { sed -n "s/^$2:[A-Z]*=//p" "build/$1/CMakeCache.txt"; }  # tree, cache variable

set +e
probe=$(bash scripts/probe_32bit.sh)
can_run_32bit=$?
set -e
payload=$(sed -n 's/^WEB_INSTALLER_PAYLOAD:FILEPATH=//p' build/release/CMakeCache.txt)
if [ $can_run_32bit -eq 0 ]; then
  ran=product
  why="$probe"
  launcher="$PWD/build/release/Web_Installer.exe"
  launcher_payload=$payload
  export WINEARCH=win32
  WINE=$(setting wine32 WEB_INSTALLER_WINE)
  WINESERVER=$(setting wine32 WEB_INSTALLER_WINESERVER)
else
  ran=twin
  why="$probe; so the 32-bit product cannot run here"
  launcher="$PWD/build/wine64/Web_Installer.exe"
  launcher_payload=build/wine64/payload/small.cab
  export WINEARCH=win64
  WINE=$(setting wine64 WEB_INSTALLER_WINE)
  WINESERVER=$(setting wine64 WEB_INSTALLER_WINESERVER)
fi

job=build/main-job
rm -rf "$job"
mkdir -p "$job"
export WINEPREFIX="$PWD/$job/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
# Booted as the tests boot theirs: a launcher that crashed would not report 0 here either.
WI_WINE=$WINE WI_WINESERVER=$WINESERVER bash tests/wine/wine_prefix.sh setup "$WINEPREFIX" >/dev/null

# Trace only the platform calls that tell the story of a run.
traced="kernel32.GetVersionExA;kernel32.CreateMutexA;kernel32.GetLastError;kernel32.CloseHandle"
traced+=";kernel32.GetTempPathA;kernel32.CreateDirectoryA;advapi32.RegSetValueExA;kernel32.WriteFile"
traced+=";setupapi.SetupIterateCabinetA;shell32.ShellExecuteExA;kernel32.WaitForSingleObject"
"$WINE" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d "$traced" /f >/dev/null 2>&1
"$WINESERVER" -w

# The sample installer records how it was started, and stays two seconds, so that the
# launcher's wait shows.
mkdir -p "$job/cwd"
export WI_SAMPLE_RECORD='C:\installer-record.txt' WI_SAMPLE_HOLD_EVENT=main_job_never_set WI_SAMPLE_HOLD_MS=2000
start=$(date +%s.%N)
set +e
(cd "$job/cwd" && WINEDEBUG=+timestamp,+pid,+relay "$WINE" "$launcher" 2>"../trace.log")
code=$?
set -e
end=$(date +%s.%N)

runonce=$("$WINE" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v ZORIZavezUvoDuvare 2>/dev/null \
  | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p')
stub=$(( $(stat -c %s build/release/Web_Installer.exe) - $(stat -c %s "$payload") ))
python3 scripts/report_run.py --trace "$job/trace.log" --exit-code "$code" \
  --seconds "$(python3 -c "print($end - $start)")" --prefix "$WINEPREFIX" --cwd "$PWD/$job/cwd" \
  --product build/release/Web_Installer.exe --payload "$payload" --ran "$ran" --why "$why" \
  --launcher "$launcher" --launcher-payload "$launcher_payload" --wine "$WINE" \
  --record "$WI_SAMPLE_RECORD" --runonce "ZORIZavezUvoDuvare = $runonce" --stub-size "$stub"

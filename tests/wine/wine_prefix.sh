#!/usr/bin/env bash
# Boots (setup) or ends (cleanup) a throwaway Wine prefix that Windows-side tests share. Its
# architecture comes from the test environment: WINEARCH=win32 (booted by the 32-bit Wine) or
# win64 (booted by wine64; 32-bit programs then run in it as on 64-bit Windows). The tree's
# Wine comes from the environment too (WI_WINE, WI_WINESERVER: found by CMake). A program that
# crashes in the prefix ends with its exception code, not in a debugger (below).
set -euo pipefail
action=$1
prefix=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
: "${WINEARCH:?WINEARCH must name the architecture of the prefix}"
WINE=${WI_WINE:?WI_WINE must name the Wine of the tree}
SERVER=${WI_WINESERVER:?WI_WINESERVER must name the server of that Wine}
export WINEARCH
case "$action" in
  setup)
    if [ -d "$prefix" ]; then "$SERVER" -k 2>/dev/null || true; rm -rf "$prefix"; fi
    if [ ! -x "$WINE" ]; then
      echo "no Wine for $WINEARCH was found when this tree was configured ($WINE)"
      bash "$(dirname "$0")/../../scripts/probe_32bit.sh" || true
      echo "bash scripts/bootstrap.sh installs what this machine can run; without 32-bit code, use the wine64 preset"
      exit 1
    fi
    "$WINE" wineboot -i >/dev/null 2>&1
    "$SERVER" -w
    test -f "$prefix/system.reg"
    # The prefix must be of the architecture the tree's programs are built for.
    grep -q "^#arch=$WINEARCH" "$prefix/system.reg" || { echo "the prefix is not $WINEARCH"; exit 1; }
    # No debugger for a program that crashes. Wine's default one (winedbg --auto) races the
    # crashed program's end: its exit code then comes out as 0 about every other time, and a
    # crash would pass wherever a test reads an exit code. Without one, a crashed program ends
    # with its exception code, every time. Both views of the key, for 32-bit programs too.
    keys=('HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug')
    if [ "$WINEARCH" = win64 ]; then keys+=('HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'); fi
    for key in "${keys[@]}"; do
      "$WINE" reg add "$key" /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
    done
    "$SERVER" -w
    for key in "${keys[@]}"; do
      "$WINE" reg query "$key" /v Debugger 2>/dev/null | tr -d '\r' | grep -Eq 'Debugger[[:space:]]+REG_SZ[[:space:]]*$' \
        || { echo "the prefix still names a debugger for crashed programs under $key"; exit 1; }
    done
    echo "wine prefix ready: $prefix ($WINEARCH, $("$WINE" --version))"
    ;;
  cleanup)
    "$SERVER" -k 2>/dev/null || true
    echo "wineserver of $prefix ended"
    ;;
  *) echo "usage: $0 setup|cleanup PREFIX" >&2; exit 2 ;;
esac

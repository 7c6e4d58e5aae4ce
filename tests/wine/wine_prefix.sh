#!/usr/bin/env bash
# Boots (setup) or ends (cleanup) the throwaway Wine prefix that the Windows-side tests share.
set -euo pipefail
action=$1
prefix=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINE_DIR=/usr/lib/wine
case "$action" in
  setup)
    if [ -d "$prefix" ]; then "$WINE_DIR/wineserver" -k 2>/dev/null || true; rm -rf "$prefix"; fi
    "$WINE_DIR/wine64" wineboot -i >/dev/null 2>&1
    "$WINE_DIR/wineserver" -w
    test -f "$prefix/system.reg"
    echo "wine prefix ready: $prefix"
    ;;
  cleanup)
    "$WINE_DIR/wineserver" -k 2>/dev/null || true
    echo "wineserver of $prefix ended"
    ;;
  *) echo "usage: $0 setup|cleanup PREFIX" >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# Boots (setup) or ends (cleanup) the throwaway Wine prefix that one tree's Windows-side tests
# share. The tree's Wine and the prefix's architecture come from the test environment:
# WI_WINE (/usr/lib/wine/wine64 or /usr/lib/wine/wine) and WINEARCH (win64 or win32).
set -euo pipefail
action=$1
prefix=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINE=${WI_WINE:?WI_WINE must name the Wine of the tree}
: "${WINEARCH:?WINEARCH must name the architecture of the prefix}"
export WINEARCH
case "$action" in
  setup)
    if [ -d "$prefix" ]; then /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$prefix"; fi
    if [ ! -x "$WINE" ]; then echo "no Wine at $WINE"; exit 1; fi
    "$WINE" wineboot -i >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
    test -f "$prefix/system.reg"
    # The prefix must be of the architecture the tree's programs are built for.
    grep -q "^#arch=$WINEARCH" "$prefix/system.reg" || { echo "the prefix is not $WINEARCH"; exit 1; }
    echo "wine prefix ready: $prefix ($WINEARCH, $("$WINE" --version))"
    ;;
  cleanup)
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    echo "wineserver of $prefix ended"
    ;;
  *) echo "usage: $0 setup|cleanup PREFIX" >&2; exit 2 ;;
esac

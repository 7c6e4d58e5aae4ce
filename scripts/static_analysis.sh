#!/usr/bin/env bash
# Static analysis of the project's own code: cppcheck over every source, and clang-tidy
# (configuration in .clang-tidy), through run-clang-tidy, over the project's sources in the
# compile databases of the native and wine64 trees, the Windows sources read with the
# headers that the wine64 tree's compiler searches. Exits non-zero on any finding.
# Needs the two trees configured (the test command does that first).
set -uo pipefail
cd "$(dirname "$0")/.."
status=0

echo "=== cppcheck"
if ! cppcheck --quiet --enable=warning,performance,portability,style --std=c++17 --library=windows \
    --library=googletest --inline-suppr --suppressions-list=tools/static_analysis/cppcheck-suppressions.txt \
    --error-exitcode=1 -I src/framework -I src/Installer/module/Web_Installer \
    -I src/Installer/module/Web_Installer/registry_security -I tests/common -I tests/wine \
    src tools/payload_check tests; then
  status=1
fi

# The C++ library and platform headers that the wine64 tree's compiler searches, as it
# reports them, for clang; the compiler's own headers (its intrinsics) stay clang's.
compiler=$(python3 -c 'import json, shlex, sys; print(shlex.split(json.load(open(sys.argv[1]))[0]["command"])[0])' \
           build/wine64/compile_commands.json)
target=$("$compiler" -dumpmachine)
mingw=(-extra-arg=--target="$target")
while read -r dir; do
  dir=$(realpath "$dir")
  case "$dir" in /usr/lib/gcc/*/include | /usr/lib/gcc/*/include-fixed) continue ;; esac
  mingw+=(-extra-arg=-isystem"$dir")
done < <("$compiler" -xc++ -E -v /dev/null -o /dev/null 2>&1 |
         sed -n '/^#include <...> search starts here:/,/^End of search list/{/^ /p}')

own="^$(pwd)/(src|tests|tools)/"  # the project's own translation units, not GoogleTest's
tidy() {  # tree, extra arguments...
  local tree=$1; shift
  run-clang-tidy -quiet -p "build/$tree" "$@" "$own" 2>/dev/null | grep -E "(warning|error):" || true
}

echo "=== clang-tidy, native tree"
native=$(tidy native)
echo "=== clang-tidy, wine64 tree"
windows=$(tidy wine64 "${mingw[@]}")
findings=$(printf '%s\n%s\n' "$native" "$windows" | grep -v '^$' | sort -u)
if [ -n "$findings" ]; then
  echo "$findings"
  status=1
fi
[ $status -eq 0 ] && echo "static analysis: clean" || echo "static analysis: FINDINGS"
exit $status

#!/usr/bin/env bash
# Static analysis of the project's own code: cppcheck over every source, and clang-tidy
# (configuration in .clang-tidy) over every source of the native and wine64 trees, with the
# Windows sources read as x86_64 mingw code. Exits non-zero on any finding.
# Needs the two trees configured (scripts/test.sh does that first).
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

# The mingw C++ library and platform headers, for clang (its own intrinsics stay its own).
mingw=(--extra-arg=--target=x86_64-w64-mingw32)
for d in /usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++ \
         /usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++/x86_64-w64-mingw32 \
         /usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++/backward /usr/x86_64-w64-mingw32/include; do
  mingw+=("--extra-arg=-isystem$d")
done

own_sources() {  # the project's translation units in a compile database
  python3 - "$1" <<'PY'
import json, os, sys
root = os.getcwd() + "/"
seen = set()
for e in json.load(open(sys.argv[1])):
    f = os.path.normpath(os.path.join(e["directory"], e["file"]))
    if f.startswith(root) and "/build/" not in f and f not in seen:
        seen.add(f)
        print(f)
PY
}

run_tidy() {  # tree, extra arguments...
  local tree=$1; shift
  own_sources "build/$tree/compile_commands.json" |
    xargs -P 2 -I{} sh -c 'clang-tidy --quiet -p "$0" "$@" "{}" 2>/dev/null | grep -E "(warning|error):" || true' \
      "build/$tree" "$@"
}

echo "=== clang-tidy, native tree"
native=$(run_tidy native)
echo "=== clang-tidy, wine64 tree"
windows=$(run_tidy wine64 "${mingw[@]}")
findings=$(printf '%s\n%s\n' "$native" "$windows" | grep -v '^$' | sort -u)
if [ -n "$findings" ]; then
  echo "$findings"
  status=1
fi
[ $status -eq 0 ] && echo "static analysis: clean" || echo "static analysis: FINDINGS"
exit $status

#!/usr/bin/env bash
# Builds the product a second time, in another folder, around the same payload and checks
# that the two images are byte-identical. Further arguments (-DNAME=VALUE) are the first
# tree's settings that the image depends on.
set -euo pipefail
source_dir=$1 first_image=$2 payload=$3 second_tree=$4
shift 4
rm -rf "$second_tree"
cmake -S "$source_dir" -B "$second_tree" -G "Unix Makefiles" --toolchain "$source_dir/cmake/mingw-i686.cmake" \
  -DWEB_INSTALLER_FLAVOUR=release -DCMAKE_BUILD_TYPE=Release -DWEB_INSTALLER_PAYLOAD="$payload" "$@" >/dev/null
cmake --build "$second_tree" --target Web_Installer -j2 >/dev/null
if cmp "$first_image" "$second_tree/Web_Installer.exe"; then
  echo "ok: a second build in $second_tree is byte-identical ($(stat -c %s "$first_image") bytes)"
else
  echo "FAILED: the second build differs"; exit 1
fi

#!/usr/bin/env bash
# Installs what the project needs on Debian 12, and nothing that is already there.
# Other systems: install the equivalents of the packages below by hand.
set -euo pipefail

PACKAGES=(
  cmake make g++ python3                     # native build
  libgtest-dev googletest                    # unit tests (googletest also feeds the Windows tests)
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64                                     # runs the x86_64 twin and the Windows-side tests
  gcab                                       # writes the sample cabinets
  python3-pefile                             # inspects the release image
  libmspack-dev cabextract                   # the payload check; a reference extractor
  clang clang-tidy cppcheck                  # fuzzing and static analysis
)

missing=()
for p in "${PACKAGES[@]}"; do
  if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "bootstrap: everything is installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
echo "bootstrap: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "bootstrap: done"

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
  python3-pytest                             # runs the Python tests
  libmspack-dev cabextract                   # the payload check; a reference extractor
  osslsigncode openssl                       # Authenticode signing; the certificate checks and test keys
  time                                       # GNU time: the peak memory of a build (scripts/payload_costs.sh)
  locales                                    # the ja_JP source of the code page 932 test's locale
  clang clang-tidy cppcheck                  # fuzzing and static analysis
)

# The product itself is 32-bit: where this kernel runs 32-bit code, Debian's 32-bit Wine runs
# it (and the Windows-side tests built for i686). Elsewhere nothing more is installed, and the
# tests say that they cannot run the product.
if bash "$(dirname "$0")/probe_32bit.sh"; then
  PACKAGES+=(wine32:i386)
  echo "bootstrap: 32-bit Wine (wine32:i386) is needed too"
else
  echo "bootstrap: not installing 32-bit Wine; only the 64-bit twin will run"
fi

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
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "bootstrap: done"

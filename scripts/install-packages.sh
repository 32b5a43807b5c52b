#!/usr/bin/env bash
# Installs the Debian packages that a fresh machine may lack. Always those of the Linux build:
# compiler, CMake, Ninja, GoogleTest, CLI11 (the tool's argument parsing) and libedit (the tool's
# line editing). With --tests also what the whole test run needs: the mingw-w64 cross compilers
# (posix thread model), Wine for the Windows suite, and a comma locale (de_DE.UTF-8) for the
# tests of locale-free numbers, and headless Chromium with Selenium for the dashboard's test.
# Does nothing when all are there; installs as root, or via sudo.
set -euo pipefail

packages=(g++ cmake ninja-build libgtest-dev libcli11-dev libedit-dev)
if [ "${1:-}" = "--tests" ]; then
  packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 locales)
  # The dashboard's browser test.
  packages+=(chromium chromium-driver python3-selenium)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing ${missing[*]}"
  "${as_root[@]}" apt-get update -qq
  # Console programs need nothing that Wine only recommends.
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "${1:-}" = "--tests" ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  "${as_root[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8 ||
    echo "note: no de_DE locale could be made; the tests of a comma locale skip"
fi

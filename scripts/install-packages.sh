#!/usr/bin/env bash
# Installs the Debian packages that a fresh machine may lack. Always those of the Linux build:
# compiler, CMake, Ninja, pkg-config, GoogleTest, CLI11 (the tool's argument parsing), libedit
# (the tool's line editing), nlohmann-json (the tool's JSON), Boost's headers (Asio and Beast: the
# service's event loop, HTTP and sockets), libmosquitto (the service's MQTT), libftdi1 (the adapter library for FTDI chips), Google
# Benchmark (the benchmarks) and help2man (the manual pages). With --tests also what the whole
# test run needs: the mingw-w64 cross compilers (posix thread model), Wine for the Windows suite
# (on amd64 with its 32-bit part, for the i686 DLL), clang with libFuzzer for the fuzz harnesses,
# the Debian packaging tools for the package tests, NSIS and unzip for the Windows distribution
# (its installer and zip), pytest and pip for the Python package's
# tests, the service's real clients (pyvisa with pyvisa-py, Prometheus, headless Chromium with
# Selenium), sigrok-cli (an independent decoder of the virtual bus), the Mosquitto broker, its
# clients, paho-mqtt and OpenSSL for the MQTT tests, and a comma locale (de_DE.UTF-8) for the
# tests of locale-free numbers. Does nothing when all are there; installs as root, or via sudo.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libgtest-dev libcli11-dev libedit-dev libftdi1-dev
          nlohmann-json3-dev libboost-dev libmosquitto-dev libbenchmark-dev help2man)
wine32=
if [ "${1:-}" = "--tests" ]; then
  packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 locales
             dpkg-dev fakeroot lintian binutils bash-completion python3-pytest python3-pip
             clang libclang-rt-14-dev python3-pyvisa python3-pyvisa-py prometheus chromium
             chromium-driver python3-selenium sigrok-cli mosquitto mosquitto-clients
             python3-paho-mqtt openssl nsis unzip)
  [ "$(dpkg --print-architecture)" = amd64 ] && wine32=wine32:i386 && packages+=("${wine32}")
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
  if [ -n "${wine32}" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
  fi
  "${as_root[@]}" apt-get update -qq
  # Console programs need nothing that Wine only recommends.
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends -o DPkg::Lock::Timeout=900 "${missing[@]}" >/dev/null
fi

if [ "${1:-}" = "--tests" ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  "${as_root[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8 ||
    echo "note: no de_DE locale could be made; the tests of a comma locale skip"
fi

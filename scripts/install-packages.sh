#!/usr/bin/env bash
# Installs the Debian packages that a fresh machine may lack. Always those of the Linux build:
# compiler, CMake, Ninja, pkg-config, GoogleTest, CLI11 (the tool's argument parsing), libedit
# (the tool's line editing), nlohmann-json (the tool's JSON), Boost's headers (Asio and Beast: the
# service's event loop, HTTP and sockets), libmosquitto (the service's MQTT), libmodbus (the
# service's Modbus TCP), OpenSSL (the service's TLS, token hashes and random tokens), libftdi1
# (the adapter library for FTDI chips), Google Benchmark (the benchmarks) and help2man (the manual
# pages). With --tests also what the whole test run needs: the mingw-w64 cross compilers (posix
# thread model), Wine for the Windows suite (on amd64 with its 32-bit part, for the i686 DLL,
# installed apart and optional), clang with libFuzzer for the fuzz harnesses, the Debian packaging
# tools for the package tests, NSIS and unzip for the Windows distribution (its installer and
# zip), pytest, pip and venv for the Python package's tests, the service's real clients (pyvisa
# with pyvisa-py, PyMeasure, Prometheus, headless Chromium with Selenium, mbpoll and pymodbus with
# serial-asyncio, which its client imports but its Debian package does not depend on),
# sigrok-cli (an independent decoder of the virtual bus), the Mosquitto broker, its clients,
# paho-mqtt and OpenSSL for the MQTT tests, Mono for the C# binding, and a comma locale
# (de_DE.UTF-8) for the tests of locale-free numbers. Does nothing when all are there; installs as
# root, or via sudo.
#
# A package mirror is sometimes out of step with itself (an index "has unexpected size" while it
# syncs): the index update is retried, and what it could fetch is used when some indexes still
# fail; only a package that cannot be installed at all stops the script.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libgtest-dev libcli11-dev libedit-dev libftdi1-dev
          nlohmann-json3-dev libboost-dev libmosquitto-dev libmodbus-dev libssl-dev
          libbenchmark-dev help2man)
optional=()
if [ "${1:-}" = "--tests" ]; then
  packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 locales
             dpkg-dev fakeroot lintian binutils bash-completion python3-pytest python3-pip
             python3-venv clang libclang-rt-14-dev python3-pyvisa python3-pyvisa-py
             python3-pymeasure prometheus chromium chromium-driver python3-selenium sigrok-cli
             mosquitto mosquitto-clients python3-paho-mqtt openssl nsis unzip mbpoll
             python3-pymodbus python3-serial-asyncio mono-mcs mono-runtime)
  # Without it the Wine suite checks the i686 DLL's exports only (docs/building.md).
  [ "$(dpkg --print-architecture)" = amd64 ] && optional+=(wine32:i386)
fi

missing_of() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      echo "$package"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

# apt-get update exits 100 when any index failed, even if the others were fetched: try again a
# few times, then go on with what it has (an install that truly lacks an index fails below).
refresh_indexes() {
  local attempt
  for attempt in 1 2 3; do
    "${as_root[@]}" apt-get update -qq && return 0
    echo "note: the package indexes could not all be fetched (attempt ${attempt} of 3)" >&2
    [ "${attempt}" -lt 3 ] && sleep $((attempt * 10))
  done
  echo "note: going on with the indexes that could be fetched" >&2
}

install() {
  # Console programs need nothing that Wine only recommends.
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends -o DPkg::Lock::Timeout=900 "$@" >/dev/null
}

if [ ${#missing_optional[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_optional[@]} -gt 0 ]; then
  refresh_indexes
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing ${missing[*]}"
  # A package whose file the mirror no longer holds (its index was older than the mirror) may
  # be had once the indexes are fetched again.
  install "${missing[@]}" || { refresh_indexes; install "${missing[@]}"; }
fi
for package in "${missing_optional[@]}"; do
  echo "Installing ${package} (optional)"
  install "${package}" ||
    echo "note: ${package} could not be installed; the tests that need it check less or skip" >&2
done

if [ "${1:-}" = "--tests" ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  "${as_root[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8 ||
    echo "note: no de_DE locale could be made; the tests of a comma locale skip"
fi

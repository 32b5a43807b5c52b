#!/usr/bin/env bash
# Runs the Windows build on Windows' own interfaces, under Wine: the x86_64 MavoZARP.dll, the
# emulated MavoFTCI2C.DLL and the Windows end-to-end host are built, a private Wine prefix is
# prepared, and the end-to-end suite runs there (adapter supplies through the emulated adapter
# library, bridge and text supplies on COM ports). The same suite runs first with the Linux host;
# every reply of the Windows run must read as on Linux. The i686 build runs too where Wine can
# run 32-bit programs.
#
#   scripts/test-wine.sh [--linux-build DIR] [--windows-build DIR]
#
# Without options the builds are those of the presets linux and windows-x64 (configured here);
# with them, existing build folders of those kinds are used. Exit status 0 when every run passed.
set -euo pipefail
cd "$(dirname "$0")/.."

linux_build= windows_build=
while [ $# -gt 0 ]; do
  case "$1" in
    --linux-build) linux_build=$2; shift 2 ;;
    --windows-build) windows_build=$2; shift 2 ;;
    *) echo "usage: $0 [--linux-build DIR] [--windows-build DIR]" >&2; exit 2 ;;
  esac
done

if ! command -v wine >/dev/null; then
  echo "wine is not installed (Debian: apt-get install wine wine64)" >&2
  exit 1
fi

jobs=$(nproc)
host_targets=(mavozarp_e2e_host MavoZARP MavoFTCI2C MavoFTCI2C_without_loopback)

# Configures a preset unless a build folder was given; prints the folder.
build() {
  local preset=$1 folder=$2; shift 2
  if [ -z "${folder}" ]; then
    cmake --preset "${preset}" >/dev/null
    folder="build/${preset}"
  fi
  cmake --build "${folder}" -j "${jobs}" --target "$@" >&2
  echo "${folder}"
}

echo "== wine: build"
linux_build=$(build linux "${linux_build}" "${host_targets[@]}" mavozarp-sim)
windows_build=$(build windows-x64 "${windows_build}" "${host_targets[@]}")

# A prefix of our own, so nothing of the user's Wine set-up is touched or needed. Without a
# display and without the Mono and Gecko add-ons (which would ask to be downloaded).
export WINEPREFIX="${PWD}/${windows_build}/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "${WINEPREFIX}/system.reg" ]; then
  echo "== wine: prepare the prefix ${WINEPREFIX}"
  wineboot --init >/dev/null 2>&1
fi
trap 'wineserver -k 2>/dev/null || true' EXIT

# The suite with one build's host; the remaining arguments go to run-suite.sh.
suite() {
  local system=$1 build=$2 host=$3 library=$4 adapter=$5; shift 5
  tests/portable_e2e/run-suite.sh --system "${system}" \
    --host "${build}/tests/portable_e2e/${host}" --library "${build}/${library}" \
    --adapter "${build}/sim/${adapter}" \
    --adapter-lacking-entry-point "${build}/sim/without-loopback/${adapter}" \
    --launcher "${linux_build}/sim/mavozarp-sim" "$@"
}

reference="${windows_build}/wine-run/reference"
suite linux "${linux_build}" mavozarp_e2e_host libMavoZARP.so libMavoFTCI2C.so \
  --work "${windows_build}/wine-run/linux" --record "${reference}"
suite wine "${windows_build}" mavozarp_e2e_host.exe MavoZARP.dll MavoFTCI2C.DLL \
  --work "${windows_build}/wine-run/x86_64" --compare "${reference}"

# 32-bit programs need Wine's i386 part (Debian: wine32, with the i386 architecture).
if compgen -G "/usr/lib/*/wine/i386-unix" >/dev/null; then
  windows32_build=$(build windows-x86 "" "${host_targets[@]}")
  suite wine "${windows32_build}" mavozarp_e2e_host.exe MavoZARP.dll MavoFTCI2C.DLL \
    --work "${windows32_build}/wine-run/i686" --compare "${reference}"
else
  echo "== wine: no 32-bit Wine; the i686 DLL is checked by its export table only"
fi

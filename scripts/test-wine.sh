#!/usr/bin/env bash
# Runs the Windows build on Windows' own interfaces, under Wine: the x86_64 MavoZARP.dll, the
# emulated MavoFTCI2C.DLL and the Windows end-to-end host are built, a private Wine prefix is
# prepared, and the end-to-end suite runs there (adapter supplies through the emulated adapter
# library, bridge and text supplies on COM ports). The same suite runs first with the Linux host;
# every reply of the Windows run must read as on Linux. The i686 build runs too where Wine can
# run 32-bit programs. Then `mavozarp.exe serve` meets the service's own tests, run from Linux
# clients over loopback as on Linux (with its devices in worker processes, and once with
# --workers none), and `mavozarp.exe ports` and the installer theirs.
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
host_targets=(mavozarp_e2e_host MavoZARP MavoFTCI2C MavoFTCI2C_without_loopback mavozarp)

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

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# Debian's wine starts every program through Wine's 32-bit loader once wine32 is installed. On a
# machine whose kernel runs no 32-bit programs that loader fails, and the 64-bit one is called
# directly; run-suite.sh starts programs with $WINE.
export WINE=wine
wine32=no
wine32_loader=/usr/lib/wine/wine
if [ ! -x "${wine32_loader}" ]; then
  wine32_absent="no 32-bit Wine (Debian: wine32, with the i386 architecture)"
elif "${wine32_loader}" --version >/dev/null 2>&1; then
  wine32=yes
else
  export WINE=/usr/lib/wine/wine64 WINELOADER=/usr/lib/wine/wine64
  wine32_absent="32-bit Wine is installed, but this machine runs no 32-bit programs"
  wine32_absent+=" (the kernel's 32-bit emulation is off)"
fi
if ! "${WINE}" --version >/dev/null 2>&1; then
  echo "wine does not run: $("${WINE}" --version 2>&1 | tail -1)" >&2
  exit 1
fi

# A prefix of our own, so nothing of the user's Wine set-up is touched or needed. Without a
# display and without the Mono and Gecko add-ons (which would ask to be downloaded). A prefix is
# made for one Wine: one made by another version, or before 32-bit Wine was added (its 32-bit
# system folder is then empty, and 32-bit programs fail to load kernel32.dll), is made anew.
export WINEPREFIX="${PWD}/${windows_build}/wineprefix"
made_for="$("${WINE}" --version) 32-bit:${wine32}"
if [ "$(cat "${WINEPREFIX}/made-for" 2>/dev/null)" != "${made_for}" ]; then
  echo "== wine: prepare the prefix ${WINEPREFIX} (${made_for})"
  rm -rf "${WINEPREFIX}"
  "${WINE}" wineboot --init >/dev/null 2>&1
  wineserver -w
  echo "${made_for}" >"${WINEPREFIX}/made-for"
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
suite linux "${linux_build}" mavozarp_e2e_host libMavoZARP.so.2 libMavoFTCI2C.so \
  --work "${windows_build}/wine-run/linux" --record "${reference}"
suite wine "${windows_build}" mavozarp_e2e_host.exe MavoZARP.dll MavoFTCI2C.DLL \
  --work "${windows_build}/wine-run/x86_64" --compare "${reference}"

if [ "${wine32}" = yes ]; then
  windows32_build=$(build windows-x86 "" "${host_targets[@]}")
  suite wine "${windows32_build}" mavozarp_e2e_host.exe MavoZARP.dll MavoFTCI2C.DLL \
    --work "${windows32_build}/wine-run/i686" --compare "${reference}"
else
  echo "== wine: ${wine32_absent}; the i686 DLL is checked by its export table only"
fi

# The Windows builds Wine runs here: the x86_64 one, and the i686 one where 32-bit Wine runs.
wine_builds=("${windows_build}")
if [ "${wine32}" = yes ]; then
  wine_builds+=("${windows32_build}")
fi

# The service's tests (tests/service) against the Windows service: the tool beside the library, and
# the emulated adapter library beside them where Windows looks first, so that it is the one loaded.
# One Wine server through these runs: one that ends after its last program leaves can be ending
# just as the next starts, which then fails ("recvmsg: Connection reset by peer"). The server of
# the runs above ends first: a second one is refused.
wineserver -w
wineserver -p >/dev/null 2>&1  # its log of the registry is not ours to show
for folder in "${wine_builds[@]}"; do
  echo "== wine: mavozarp.exe serve of ${folder} against the service's tests"
  bin="${folder}/wine-run/bin"
  mkdir -p "${bin}"
  cp "${folder}/tools/mavozarp.exe" "${folder}/MavoZARP.dll" "${folder}/sim/MavoFTCI2C.DLL" "${bin}/"
  MAVOZARP_SERVE_UNDER=wine MAVOZARP_TOOL="${bin}/mavozarp.exe" \
    MAVOZARP_SIM="${linux_build}/sim/mavozarp-sim" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/service
done
# And once with every device in the service's own process.
echo "== wine: mavozarp.exe serve --workers none of ${windows_build} against the service's tests"
MAVOZARP_SERVE_WORKERS=none MAVOZARP_SERVE_UNDER=wine MAVOZARP_TOOL="${windows_build}/wine-run/bin/mavozarp.exe" \
  MAVOZARP_SIM="${linux_build}/sim/mavozarp-sim" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/service
wineserver -k  # the tests below wait for the server to end by itself

# The Windows tool's own tests (tests/windows): the COM ports Wine maps, listed and explained by
# `ports`; the distribution's installer as a user runs it, made anew here (scripts/test.sh has
# made it too), installed, run and uninstalled silently.
echo "== wine: ports, and the installer installed and uninstalled silently"
for folder in "${wine_builds[@]}"; do
  cmake --build "${folder}" -j "${jobs}" >/dev/null
  scripts/test-windows-packages.sh "${folder}"
done
MAVOZARP_WINDOWS_BUILDS=$(IFS=:; echo "${wine_builds[*]}") \
  MAVOZARP_WINDOWS_BUILD="${windows_build}" MAVOZARP_LINUX_BUILD="${linux_build}" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/windows

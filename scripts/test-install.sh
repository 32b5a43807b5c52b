#!/usr/bin/env bash
# Installs MavoZARP as a user and a packager would, and checks the result. A plain Release build
# (no preset, as docs/building.md shows; prefix /usr for the packages) is made and its tests run; then:
# - cmake --install into a temporary prefix, twice: one set of files; the soname and the version
#   node of the six symbols (objdump);
# - a C program built through pkg-config and a C++ program through find_package(MavoZARP 2.1),
#   against that prefix only, each printing the simulated head's replies; find_package(MavoZARP 3)
#   is refused;
# - the Debian packages (cpack -G DEB, without a warning): their names, files and descriptions,
#   lintian without errors, and the tools run from the packages unpacked into a throwaway root;
# - the FTDI adapter package (when libftdi1 is there to build it) installed by dpkg into a scratch
#   root: the loader's cache made there lists its library, and its udev rule is where udev reads.
#
#   scripts/test-install.sh [--build DIR]      (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/release
case "${1:-}" in
  --build) build=$2 ;;
  "") ;;
  *) echo "usage: $0 [--build DIR]" >&2; exit 2 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

echo "== install: plain Release build with tests (${build})"
cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "${build}" -j "$(nproc)"
ctest --test-dir "${build}" -j "$(nproc)" --output-on-failure --no-tests=error

echo "== install: into a temporary prefix, twice"
prefix=${work}/prefix
cmake --install "${build}" --prefix "${prefix}" >/dev/null
(cd "${prefix}" && find . | sort) >"${work}/first"
cmake --install "${build}" --prefix "${prefix}" >/dev/null
(cd "${prefix}" && find . | sort) | diff "${work}/first" - || fail "a second install differs"
libdir=$(dirname "$(find "${prefix}" -name libMavoZARP.so.2.1.0)")
library=${libdir}/libMavoZARP.so.2.1.0
objdump -p "${library}" | grep -q 'SONAME *libMavoZARP\.so\.2$' || fail "soname"
versioned=$(objdump -T "${library}" | awk '$NF ~ /^MavoZARP_/ && $(NF-1) == "MAVOZARP_2"' | wc -l)
[ "${versioned}" -eq 6 ] || fail "${versioned} of the six symbols carry the version node MAVOZARP_2"
[ "$(readlink "${libdir}/libMavoZARP.so")" = libMavoZARP.so.2 ] || fail "development link"
echo "ok: soname libMavoZARP.so.2, six symbols at MAVOZARP_2"

expected="MavoZARP 2.1.0
?P -> 0 0.100
PCMD=2.5 -> 0 
?P -> 0 2.600"
check_replies() {  # name, program
  local replies
  replies=$("$2" '?P' 'PCMD=2.5' '?P' | tr -d '\r')
  [ "${replies}" = "${expected}" ] || fail "$1 printed: ${replies}"
  echo "ok: $1"; echo "${replies}" | sed 's/^/    /'
}

echo "== install: consumers built against the prefix only"
export PKG_CONFIG_PATH=${libdir}/pkgconfig
# shellcheck disable=SC2046  # pkg-config's flags are separate words
cc -Wall -Werror -o "${work}/c-consumer" tests/install/consumer.c \
  $(pkg-config --cflags --libs mavozarp) -Wl,-rpath,"$(pkg-config --variable=libdir mavozarp)"
check_replies "C program through pkg-config" "${work}/c-consumer"
cmake -S tests/install -B "${work}/cpp" -DCMAKE_PREFIX_PATH="${prefix}" >/dev/null
cmake --build "${work}/cpp" >/dev/null
check_replies "C++ program through find_package(MavoZARP 2.1)" "${work}/cpp/consumer"
if cmake -S tests/install -B "${work}/cpp3" -DCMAKE_PREFIX_PATH="${prefix}" \
     -DMAVOZARP_WANTED_VERSION=3 >"${work}/cpp3.out" 2>&1; then
  fail "find_package(MavoZARP 3) accepted version 2.1.0"
fi
grep -q 'version: 2\.1\.0' "${work}/cpp3.out" ||
  fail "find_package(MavoZARP 3): $(cat "${work}/cpp3.out")"
echo "ok: find_package(MavoZARP 3) refused"

echo "== install: Debian packages"
rm -f "${build}"/*.deb
(cd "${build}" && cpack -G DEB >"${work}/cpack.out" 2>&1) ||
  { cat "${work}/cpack.out"; fail "cpack"; }
! grep -i -A4 'warning' "${work}/cpack.out" || fail "cpack warns"
arch=$(dpkg --print-architecture)
for package in libmavozarp2 libmavozarp-dev mavozarp-tools; do
  deb=${build}/${package}_2.1.0-1_${arch}.deb
  [ -f "${deb}" ] || fail "no package ${deb}"
  # Files and links, the multiarch library folder written as LIB.
  dpkg-deb -c "${deb}" | awk '$6 !~ /\/$/ { print $6 }' |
    sed -e 's|^\./usr/||' -e 's|^lib/[^/]*-linux-gnu/|LIB/|' | sort >"${work}/${package}.files"
  diff -u "tests/install/${package}.files" "${work}/${package}.files" ||
    fail "files of ${package}"
done
# Each description as dpkg shows it: the extended lines begin with exactly one blank (two make a
# verbatim line: text split where it was not meant to be) and fit 80 columns.
for deb in "${build}"/*.deb; do
  dpkg-deb -f "${deb}" Description | tail -n +2 |
    awk '!/^ [^ ]/ || length($0) > 80 { print "  \"" $0 "\""; bad = 1 } END { exit bad }' ||
    fail "the description of $(basename "${deb}") has the lines above"
done
lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs \
  "${build}"/libmavozarp2_*.deb "${build}"/libmavozarp-dev_*.deb "${build}"/mavozarp-tools_*.deb
echo "ok: packages, their files and descriptions; lintian reports no errors"

root=${work}/root
for deb in "${build}"/libmavozarp2_*.deb "${build}"/mavozarp-tools_*.deb; do
  dpkg-deb -x "${deb}" "${root}"
done
tools_libdir=$(dirname "$(find "${root}" -name libMavoZARP.so.2)")
LD_LIBRARY_PATH=${tools_libdir} "${root}/usr/bin/mavozarp" send --simulated '?P' |
  tee "${work}/send.out"
grep -q '^?P  *->  *0\.100' "${work}/send.out" || fail "mavozarp from the package"
exports=$("${root}/usr/bin/mavozarp-sim" --adapter kora-band1 --for 0 | grep '^export LD_LIBRARY')
[[ "${exports}" == *"'${tools_libdir}/mavozarp/emulated'"* ]] ||
  fail "mavozarp-sim from the package names: ${exports}"
echo "ok: the packaged tool runs; mavozarp-sim finds its emulated adapter library"

ftdi_deb=${build}/mavozarp-ftdi-adapter_2.1.0-1_${arch}.deb
if [ -f "${ftdi_deb}" ]; then
  echo "== install: the FTDI adapter package, installed by dpkg into a scratch root"
  scratch=${work}/scratch
  mkdir -p "${scratch}/var/lib/dpkg/info" "${scratch}/var/lib/dpkg/updates" "${scratch}/etc"
  : >"${scratch}/var/lib/dpkg/status"
  # Installed by dpkg as on a system, its scripts run; the scratch root has no shell to chroot
  # into, so they run outside it with DPKG_ROOT set. Its dependencies are not in that root.
  dpkg --root="${scratch}" --force-script-chrootless --force-depends --force-not-root \
    --log=/dev/null -i "${ftdi_deb}" >"${work}/dpkg.out" 2>&1 ||
    { cat "${work}/dpkg.out"; fail "dpkg -i ${ftdi_deb}"; }
  # The loader's cache as the system would make it: the multiarch library folder is listed by
  # libc6's configuration, which the scratch root lacks.
  multiarch_libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  echo "${multiarch_libdir}" >"${scratch}/etc/ld.so.conf"
  ldconfig -r "${scratch}"
  ldconfig -r "${scratch}" -p | tee "${work}/ldconfig.out" |
    grep -q "libMavoFTCI2C\.so .*=> ${multiarch_libdir}/libMavoFTCI2C\.so$" ||
    { cat "${work}/ldconfig.out"; fail "the loader does not find libMavoFTCI2C.so after dpkg -i"; }
  [ -f "${scratch}/usr/lib/udev/rules.d/60-mavozarp-ftdi.rules" ] ||
    fail "the udev rule is not in /usr/lib/udev/rules.d"
  lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "${ftdi_deb}"
  echo "ok: after dpkg -i the loader finds libMavoFTCI2C.so; the udev rule is where udev reads;"
  echo "    lintian reports no errors"
fi

#!/usr/bin/env bash
# Makes a Windows build's distribution with cpack and checks it: the zip and the installer, named
# MavoZARP-VERSION-windows-ARCH.zip and ...-setup.exe for the architecture of the built DLL, each
# a program of that architecture (a 32-bit installer would put a 64-bit DLL into the 32-bit
# Program Files); the zip holds one folder of that name with exactly the files of
# tests/windows/distribution.files, the documentation among them (every page README.txt names); its
# DLL passes check-dll-exports.sh; and a program links
# against it through its CMake package, header and import library alone. tests/windows/ installs
# the installer under Wine.
#
#   scripts/test-windows-packages.sh BUILD      (a windows-x64 or windows-x86 build folder)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
fail() { echo "FAIL ${build}: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT

rm -f "${build}"/MavoZARP-*-windows-*
(cd "${build}" && cpack >"${work}/cpack.out" 2>&1) || { cat "${work}/cpack.out"; fail "cpack"; }

objdump=x86_64-w64-mingw32-objdump
command -v "${objdump}" >/dev/null || objdump=objdump
# The architecture as the file names give it, from a program's object format.
architecture() {
  case "$("${objdump}" -f "$1" | sed -n 's/.*file format //p')" in
    pei-x86-64) echo x86_64 ;;
    pei-i386) echo i686 ;;
    *) echo unknown ;;
  esac
}
arch=$(architecture "${build}/MavoZARP.dll")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "${build}/CMakeCache.txt")
name=MavoZARP-${version}-windows-${arch}
zip=${build}/${name}.zip
setup=${build}/${name}-setup.exe
[ -f "${zip}" ] && [ -f "${setup}" ] ||
  fail "cpack made $(cd "${build}" && echo MavoZARP-*-windows-*), not ${name}.zip and ${name}-setup.exe"
[ "$(architecture "${setup}")" = "${arch}" ] || fail "${setup} is no ${arch} program"

unzip -Z1 "${zip}" | grep -v '/$' | LC_ALL=C sort >"${work}/entries"
sed "s|^|${name}/|" tests/windows/distribution.files | diff -u - "${work}/entries" ||
  fail "the files of ${zip}"
unzip -q "${zip}" -d "${work}"
scripts/check-dll-exports.sh "${work}/${name}"
# README.txt sends the reader to pages of the documentation: each is there.
pages=$(grep -oE '(docs\\)?[A-Za-z-]+\.md' "${work}/${name}/README.txt" | tr '\\' /)
[ -n "${pages}" ] || fail "README.txt names no page of the documentation"
for page in ${pages}; do
  [ -f "${work}/${name}/${page}" ] || fail "README.txt names ${page}, which ${zip} lacks"
done

# The developers' files: a program built with the build's own toolchain against the unpacked zip.
toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "${build}/CMakeCache.txt")
cmake -S tests/install -B "${work}/consumer" -G Ninja --toolchain "${toolchain}" \
  -DCMAKE_PREFIX_PATH="${work}/${name}" >"${work}/consumer.out" 2>&1 &&
  cmake --build "${work}/consumer" >>"${work}/consumer.out" 2>&1 ||
  { cat "${work}/consumer.out"; fail "a program built against ${zip}"; }
echo "ok ${build}: ${name}.zip with the files of tests/windows/distribution.files, ${name}-setup.exe"

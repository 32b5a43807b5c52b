#!/usr/bin/env bash
# Builds and runs every test: the Linux build, the sanitizer builds (address and undefined
# behaviour; threads), a short run of each fuzz harness, and the Windows DLLs with their export
# tables checked and their distributions (zip and installer) made and checked; then both DLLs run
# the end-to-end suite under Wine (the i686 one where 32-bit Wine runs), and the installer is
# installed and uninstalled there; last, a plain Release build is installed and packaged, and the
# installation and packages are checked.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh --tests

jobs=$(nproc)
# Each stage says when it began, so that where the run's time goes shows in CI's log.
stage() { echo "== $* (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"; }

for preset in linux linux-asan linux-tsan; do
  stage "${preset}: build"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  if [ "${preset}" = linux ]; then
    # A suite that stops being registered runs no test and fails nothing: count them.
    registered=$(ctest --preset linux -N | sed -n 's/^Total Tests: //p')
    recorded=$(grep -v '^#' tests/minimum-test-count)
    if [ "${registered:-0}" -lt "${recorded}" ]; then
      echo "FAIL: ${registered:-no} tests registered, fewer than the ${recorded} of tests/minimum-test-count" >&2
      exit 1
    fi
  fi
  stage "${preset}: test"
  if [ "${preset}" = linux ]; then
    ctest --preset linux -j "${jobs}"
    continue
  fi
  # The sanitizers slow every thread several times over. A test whose far end on a
  # pseudo-terminal must answer within the library's tenth of a second (label serial-line,
  # tests/CMakeLists.txt) may miss it where the emulators cannot run ahead of ordinary work (no
  # real-time priority for this user) on a busy machine: those alone get up to three runs, and
  # each rerun is named here.
  ctest --preset "${preset}" -j "${jobs}" --label-exclude serial-line
  serial_log=$(mktemp)
  status=0
  ctest --preset "${preset}" -j "${jobs}" --label-regex serial-line --repeat until-pass:3 |
    tee "${serial_log}" || status=$?
  grep -E '\*\*\*(Failed|Timeout|Exception)' "${serial_log}" |
    sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/note: '"${preset}"': a run of \1 failed (up to three runs)/' ||
    true
  rm -f "${serial_log}"
  [ "${status}" -eq 0 ] || exit "${status}"
done

# Coverage-guided fuzzing (clang's libFuzzer with the address and undefined-behaviour
# sanitizers): a short run of each harness from its checked-in corpus.
stage "linux-fuzz: build"
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j "${jobs}"
stage "linux-fuzz: run"
tests/fuzz/run-fuzzers.sh

for preset in windows-x64 windows-x86; do
  stage "${preset}: build"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  scripts/check-dll-exports.sh "build/${preset}"
  stage "${preset}: distribution (zip and installer)"
  scripts/test-windows-packages.sh "build/${preset}"
done

stage "Windows DLLs under Wine: end-to-end suite"
scripts/test-wine.sh

stage "installation and Debian packages"
scripts/test-install.sh

#!/usr/bin/env bash
# The end-to-end suite's adapter cases run twice on Linux: over the emulated adapter library,
# keeping the replies, then over the adapter library for FTDI chips on the MPSSE engine model,
# which must give the same replies (discovery, every head model initialised and commanded,
# unplugging, closing).
#
#   run-parity.sh --host FILE --library FILE --emulated FILE --model FILE
#                 --adapter-lacking-entry-point FILE --work DIR
#
# Left out: AdapterLibraryVersion, which sets the emulated library's version text through a test
# control; the version text of the library on the model names that library and cannot be set.
set -euo pipefail

usage() { echo "usage: see the head of $0" >&2; exit 2; }

host= library= emulated= model= lacking= work=
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case "$1" in
    --host) host=$2 ;;
    --library) library=$2 ;;
    --emulated) emulated=$2 ;;
    --model) model=$2 ;;
    --adapter-lacking-entry-point) lacking=$2 ;;
    --work) work=$2 ;;
    *) usage ;;
  esac
  shift 2
done
[ -n "${host}" ] && [ -n "${library}" ] && [ -n "${emulated}" ] && [ -n "${model}" ] &&
  [ -n "${lacking}" ] && [ -n "${work}" ] || usage

suite="$(dirname "$0")/../portable_e2e/run-suite.sh"
cases=()
for name in SuppliesNamedInTheEnvironment DiscoveryOfTwoSuppliesAndAnUnpluggedOne \
            EveryHeadModelOverTheAdapter DiagnosticLinesOfHeadCreation \
            CommandsOfAnUnpluggedOrClosedSupply; do
  cases+=(--case "${name}")
done

rm -rf "${work}"
mkdir -p "${work}"
"${suite}" --system linux --host "${host}" --library "${library}" --adapter "${emulated}" \
  --adapter-lacking-entry-point "${lacking}" --work "${work}/emulated" \
  --record "${work}/replies" "${cases[@]}"
"${suite}" --system linux --host "${host}" --library "${library}" --adapter "${model}" \
  --adapter-lacking-entry-point "${lacking}" --work "${work}/model" \
  --compare "${work}/replies" "${cases[@]}"

#!/usr/bin/env bash
# Runs the end-to-end suite with one system's host, as that system's host programs meet the
# library: the host beside the library in a folder of its own, once with the emulated adapter
# library beside them, once without it (-100) and once with a variant lacking an entry point
# (-101). Bridge and text supplies run on pseudo-terminals (mavozarp-sim); under Wine each is
# reached as a COM port, a link in the Wine prefix's dosdevices folder.
#
#   run-suite.sh --system linux|wine --host FILE --library FILE --adapter FILE
#                --adapter-lacking-entry-point FILE [--launcher FILE] --work DIR
#                [--record DIR | --compare DIR] [--case NAME]...
#
# --record keeps each run's observations (replies every system must give alike) in DIR;
# --compare checks them against those of another system's run. Under Wine, WINEPREFIX names a
# prepared prefix and WINE the loader that starts programs (default: wine). --case runs only the
# cases named. Exit status 0 when every run passed.
set -euo pipefail

usage() { echo "usage: see the head of $0" >&2; exit 2; }

system= host= library= adapter= lacking= launcher= work= record= compare=
only=()
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case "$1" in
    --system) system=$2 ;;
    --host) host=$2 ;;
    --library) library=$2 ;;
    --adapter) adapter=$2 ;;
    --adapter-lacking-entry-point) lacking=$2 ;;
    --launcher) launcher=$2 ;;
    --work) work=$2 ;;
    --record) record=$2 ;;
    --compare) compare=$2 ;;
    --case) only+=(--case "$2") ;;
    *) usage ;;
  esac
  shift 2
done
[ -n "${host}" ] && [ -n "${library}" ] && [ -n "${adapter}" ] && [ -n "${lacking}" ] &&
  [ -n "${work}" ] || usage
case "${system}" in
  linux) absent_port="${work}/no-such-port" ;;
  wine)
    [ -n "${WINEPREFIX:-}" ] && [ -d "${WINEPREFIX}/dosdevices" ] || {
      echo "$0: WINEPREFIX must name a prepared Wine prefix" >&2; exit 2; }
    export WINEDEBUG=-all
    absent_port=COM99 ;;
  *) usage ;;
esac

rm -rf "${work}"
mkdir -p "${work}"
work=$(cd "${work}" && pwd)

launcher_pid=
com_links=()
cleanup() {
  if [ -n "${launcher_pid}" ]; then
    kill -TERM "${launcher_pid}" 2>/dev/null || true
    wait "${launcher_pid}" 2>/dev/null || true
  fi
  for link in "${com_links[@]}"; do rm -f "${link}"; done
}
trap cleanup EXIT

# Runs the host in its folder. The Linux host finds the libraries through LD_LIBRARY_PATH, the
# Windows host beside itself. A run that hangs is ended after a few minutes: it fails instead of
# holding CI.
run_host() {
  local folder=$1; shift
  if [ "${system}" = linux ]; then
    (cd "${folder}" && LD_LIBRARY_PATH="${folder}" timeout 240 "./$(basename "${host}")" "$@")
  else
    (cd "${folder}" && timeout 240 "${WINE:-wine}" "./$(basename "${host}")" "$@")
  fi
}

# A folder with the host, the library and, when given, an adapter library.
lay_out() {
  local folder="${work}/$1" adapter_library=${2:-}
  mkdir -p "${folder}"
  cp "${host}" "${library}" "${folder}/"
  [ -z "${adapter_library}" ] || cp "${adapter_library}" "${folder}/"
  echo "${folder}"
}

serial_options=()
if [ -n "${launcher}" ]; then
  # A bridge for every head model the host commands, and a text supply.
  presets=$(run_host "$(lay_out presets)" --bridge-presets | tr -d '\r')
  launcher_arguments=()
  for preset in ${presets}; do launcher_arguments+=(--bridge "${preset}"); done
  "${launcher}" "${launcher_arguments[@]}" --text > "${work}/launcher.out" &
  launcher_pid=$!
  for _ in $(seq 100); do
    grep -q '^ready$' "${work}/launcher.out" 2>/dev/null && break
    kill -0 "${launcher_pid}" 2>/dev/null || { echo "$0: mavozarp-sim did not start" >&2; exit 1; }
    sleep 0.1
  done
  grep -q '^ready$' "${work}/launcher.out" || { echo "$0: mavozarp-sim is not ready" >&2; exit 1; }

  com=5
  # Sets `port` to the name the host opens a pseudo-terminal by.
  name_port() {
    if [ "${system}" = linux ]; then
      port=$1
    else
      local link="${WINEPREFIX}/dosdevices/com${com}"
      ln -sfn "$1" "${link}"
      com_links+=("${link}")
      port="COM${com}"
      com=$((com + 1))
    fi
  }
  while read -r kind name path; do
    case "${kind}" in
      bridge) name_port "${path}"; serial_options+=(--bridge "${name}=${port}") ;;
      text) name_port "${path}"; serial_options+=(--text "${port}") ;;
    esac
  done < "${work}/launcher.out"
fi

failed=()
# One run of the host in a folder laid out for it.
run() {
  local name=$1 folder=$2; shift 2
  local observations=()
  if [ -n "${record}" ]; then
    observations=(--record observations.txt)
  elif [ -n "${compare}" ]; then
    # Without the reference run's file the host says it cannot read it, and fails.
    cp "${compare}/${name}.txt" "${folder}/reference-observations.txt" 2>/dev/null || true
    observations=(--compare reference-observations.txt)
  fi
  echo "== ${system}: ${name}"
  if ! run_host "${folder}" "$@" "${observations[@]}" "${only[@]}"; then failed+=("${name}"); fi
  if [ -n "${record}" ]; then
    mkdir -p "${record}"
    cp "${folder}/observations.txt" "${record}/${name}.txt" 2>/dev/null || true
  fi
}

MAVOFTCI2C_EMULATED_SUPPLIES=kora-band2,picox-640 \
  run with-adapter "$(lay_out with-adapter "${adapter}")" --adapter complete \
  "${serial_options[@]}" --absent-port "${absent_port}"
run without-adapter "$(lay_out without-adapter)" --adapter missing
run adapter-lacking-entry-point "$(lay_out adapter-lacking-entry-point "${lacking}")" \
  --adapter lacking-entry-point

if [ ${#failed[@]} -gt 0 ]; then
  echo "== ${system}: FAILED: ${failed[*]}"
  exit 1
fi
echo "== ${system}: every run passed"

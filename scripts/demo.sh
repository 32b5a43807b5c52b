#!/usr/bin/env bash
# The library's main job, with no hardware: builds the tool and the virtual supplies (preset
# linux, only the targets needed), starts mavozarp-sim with a bridge supply, a text supply and two
# adapter supplies, and shows mavozarp at work on them and on the simulated head. Stops the
# launcher by its process id; exits 0 when everything went as shown, non-zero otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh

echo "== build: mavozarp, mavozarp-sim and the emulated adapter library (preset linux)"
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target mavozarp mavozarp-sim MavoFTCI2C
tool=$PWD/build/linux/tools/mavozarp
launcher=$PWD/build/linux/sim/mavozarp-sim

work=$(mktemp -d)
launcher_pid=
cleanup() {
  if [ -n "$launcher_pid" ]; then
    kill "$launcher_pid" 2>/dev/null || true
    wait "$launcher_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo
echo "== virtual supplies"
echo "\$ mavozarp-sim --bridge kora-band3 --text Kora --adapter picox-640 --adapter vfk@serial=V7 &"
"$launcher" --bridge kora-band3 --text Kora --adapter picox-640 --adapter vfk@serial=V7 \
  >"$work/launcher.out" &
launcher_pid=$!
for _ in $(seq 300); do  # up to 30 seconds
  grep -qx ready "$work/launcher.out" && break
  kill -0 "$launcher_pid" 2>/dev/null || break
  sleep 0.1
done
cat "$work/launcher.out"
if ! grep -qx ready "$work/launcher.out"; then
  echo "demo: mavozarp-sim did not start" >&2
  exit 1
fi
bridge=$(awk '$1 == "bridge" { print $NF; exit }' "$work/launcher.out")
text=$(awk '$1 == "text" { print $NF; exit }' "$work/launcher.out")
# The adapter supplies: the environment under which the emulated adapter library serves them.
eval "$(grep '^export ' "$work/launcher.out")"

# A word as a person types it in a shell: quoted when it holds a pattern character or a blank.
typed() {
  case $1 in
    *[?*\[\ ]*) printf " '%s'" "$1" ;;
    *) printf ' %s' "$1" ;;
  esac
}

# Runs the tool as shown, then checks its exit status against the expected one.
show() {
  local expected=$1
  shift
  printf '\n$ mavozarp'
  for word in "$@"; do typed "$word"; done
  echo
  local status=0
  "$tool" "$@" || status=$?
  if [ "$status" -ne 0 ]; then echo "(exit status $status)"; fi
  if [ "$status" -ne "$expected" ]; then
    echo "demo: expected exit status $expected" >&2
    exit 1
  fi
}

echo
echo "== a bridge supply on $bridge"
show 0 status --port "$bridge"
show 0 send --port "$bridge" '?HTYPE' 'PCMD=50' '?PCMD' '?TSHG'

echo
echo "== adapter supplies, found by discovery"
show 0 scan
show 0 send --adapter 0 '?HTYPE' '?LASERMODEL' '?WAVELENGTH' '?TBRF'
show 0 send --adapter 1 --json '?HID' '?FF'

echo
echo "== a text supply on $text"
show 0 send --port "$text" '?HTYPE' '?P'

echo
echo "== the simulated head (handle -1)"
show 0 send --simulated '?P' 'PCMD=2.5' '?P'
show 0 watch --simulated --count 3 --interval 0.2 '?P' '?TMAIN'
show 1 send --simulated '?TTHG'

echo
echo "== stopping mavozarp-sim (process $launcher_pid)"
kill "$launcher_pid"
status=0
wait "$launcher_pid" || status=$?
launcher_pid=
if [ "$status" -ne 0 ]; then
  echo "demo: mavozarp-sim exited with status $status" >&2
  exit 1
fi
echo "Stopped cleanly. Try the rest yourself: $tool --help"

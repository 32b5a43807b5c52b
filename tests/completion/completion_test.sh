#!/usr/bin/env bash
# Bash completion of mavozarp as a user meets it: after `help` both the subcommands and the
# commands of the language, and a query completed quoted, so that the shell hands it to the tool
# as typed instead of replacing it with the file names it matches.
#
#   completion_test.sh TOOL COMPLETION_FILE
set -uo pipefail
tool=$1
source /usr/share/bash-completion/bash_completion
source "$2"
PATH=$(dirname "$tool"):$PATH

failures=0
# Completes the last word of the line given and checks the candidates against the expected
# ones (every one when --exactly, else among them).
expect() {
  local exactly=$1 line=$2; shift 2
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
  COMPREPLY=()
  _mavozarp 2>/dev/null
  local want
  for want in "$@"; do
    if [[ " ${COMPREPLY[*]} " != *" ${want} "* ]]; then
      echo "FAIL: '${line}' does not offer ${want}: ${COMPREPLY[*]}"; failures=$((failures + 1))
    fi
  done
  if [ "${exactly}" = --exactly ] && [ "${#COMPREPLY[@]}" -ne $# ]; then
    echo "FAIL: '${line}' offers ${COMPREPLY[*]}, not only $*"; failures=$((failures + 1))
  fi
}

expect --among "mavozarp help " send status "'?TMAIN'" PCMD= MATCH=1
expect --exactly "mavozarp help st" status
expect --exactly "mavozarp send --simulated ?tma" "'?TMAIN'" "'?TMAINCMD'"
expect --exactly "mavozarp watch --simulated '?pl" "'?PLIM'"
expect --exactly "mavozarp send --simulated pc" PCMD=

# The word as completed reaches the tool unchanged, whatever files the folder holds.
folder=$(mktemp -d)
trap 'rm -rf "${folder}"' EXIT
touch "${folder}/XTMAIN"
expect --exactly "mavozarp send --simulated ?tmain" "'?TMAIN'" "'?TMAINCMD'"
(cd "${folder}" && eval "set -- ${COMPREPLY[0]}" && [ "$1" = '?TMAIN' ]) ||
  { echo "FAIL: ${COMPREPLY[0]} does not reach the tool as ?TMAIN"; failures=$((failures + 1)); }
# The options of serve that name a file complete file names.
expect --exactly "mavozarp serve --tls-key ${folder}/X" "${folder}/XTMAIN"

[ "${failures}" -eq 0 ] && echo "completion: every case passed"
exit $((failures > 0))

#!/usr/bin/env bash
# Checks a Windows build's MavoZARP.dll: exactly the six exports, undecorated, with ordinals 1 to
# 6, and no dependency beyond system DLLs.
set -euo pipefail
build=$1
dll="${build}/MavoZARP.dll"
objdump=x86_64-w64-mingw32-objdump
command -v "${objdump}" >/dev/null || objdump=objdump

expected="1 MavoZARP_GetDLLVersion
2 MavoZARP_CheckForDevices
3 MavoZARP_InitializeHandle
4 MavoZARP_SendCommand
5 MavoZARP_Close
6 MavoZARP_OpenSerialPort"

# The export name table lists "[ordinal] name"; the ordinal base is 1.
actual=$("${objdump}" -p "${dll}" |
  awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
       on && /^[ \t]*\[/ {gsub(/[][]/, ""); print $1 + 1, $2; next}
       on {on = 0}' | sort -n)
if [ "${actual}" != "${expected}" ]; then
  echo "FAIL ${dll}: export table differs"
  echo "expected:"; echo "${expected}"
  echo "actual:"; echo "${actual}"
  exit 1
fi

allowed='^(KERNEL32|msvcrt|ADVAPI32|USER32|ntdll|api-ms-win-.*|ucrtbase)\.dll$'
deps=$("${objdump}" -p "${dll}" | awk '/DLL Name:/{print $3}')
for dep in ${deps}; do
  if ! [[ "${dep}" =~ ${allowed} ]]; then
    echo "FAIL ${dll}: depends on ${dep}"
    exit 1
  fi
done
echo "ok ${dll}: six exports with ordinals 1-6; depends on: $(echo ${deps})"

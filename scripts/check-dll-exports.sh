#!/usr/bin/env bash
# Checks a Windows build's MavoZARP.dll: exactly the six exports, undecorated, with ordinals 1 to
# 6, and no dependency beyond system DLLs. In the i686 DLL each export must return as __stdcall
# does, popping the bytes of the arguments the C# binding passes it (a mismatch corrupts a 32-bit
# .NET host's stack).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
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

# i686: the first return instruction of each export is "ret $N", N the bytes of the parameters
# the binding declares, 4 each (a handle, a pointer or an int32).
if "${objdump}" -f "${dll}" | grep -q 'file format pei-i386'; then
  binding="${source_dir}/bindings/csharp/MavoZARP.cs"
  image_base=$("${objdump}" -p "${dll}" | awk '$1 == "ImageBase" {print $2}')
  declared=$(tr '\n' ' ' <"${binding}" |
    grep -oE 'extern int MavoZARP_[A-Za-z]+\([^)]*\)' |
    sed -E 's/extern int (MavoZARP_[A-Za-z]+)\((.*)\)/\1 \2/' |
    awk '{name = $1; $1 = ""; gsub(/\[[^]]*\]/, ""); print name, ($0 ~ /[^ ]/) ? 4 * (gsub(/,/, ",") + 1) : 0}' | sort)
  popped=$("${objdump}" -p "${dll}" |
    awk '/^Export Address Table/ {on = 1; next} on && /Export RVA/ {gsub(/[][]/, " "); print $3, $4; next}
         on {on = 0}' |
    while read -r ordinal rva; do
      start=$((0x${image_base} + 0x${rva}))
      ret=$("${objdump}" -d --no-show-raw-insn --start-address=${start} --stop-address=$((start + 4096)) \
              "${dll}" | grep -m1 -E '\sret')
      name=$(echo "${expected}" | awk -v o="${ordinal}" '$1 == o {print $2}')
      echo "${name} $(( $(echo "${ret}" | sed -nE 's/.*ret +\$(0x[0-9a-f]+).*/\1/p') + 0 ))"
    done | sort)
  if ! grep -qE 'Convention = CallingConvention\.(Winapi|StdCall);' "${binding}" ||
     [ "$(grep -c 'CallingConvention = Convention' "${binding}")" -ne 6 ]; then
    echo "FAIL ${binding}: not every export is declared with the stdcall convention (Winapi)"
    exit 1
  fi
  if [ "${popped}" != "${declared}" ]; then
    echo "FAIL ${dll}: the bytes each export pops differ from the C# binding's parameters"
    echo "C# binding:"; echo "${declared}"
    echo "DLL:"; echo "${popped}"
    exit 1
  fi
  stdcall="; each pops what the C# binding passes"
fi

allowed='^(KERNEL32|msvcrt|ADVAPI32|USER32|ntdll|api-ms-win-.*|ucrtbase)\.dll$'
deps=$("${objdump}" -p "${dll}" | awk '/DLL Name:/{print $3}')
for dep in ${deps}; do
  if ! [[ "${dep}" =~ ${allowed} ]]; then
    echo "FAIL ${dll}: depends on ${dep}"
    exit 1
  fi
done
echo "ok ${dll}: six exports with ordinals 1-6${stdcall:-}; depends on: $(echo ${deps})"
